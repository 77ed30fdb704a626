// Console input: the lines a person types at the terminal (or a program
// writes into standard input) for the prompts of programs without windows.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace console {

// One line from standard input without its line end (a carriage return
// before it is dropped too); nothing at the end of input. Bytes past
// `longest` are read and dropped, so nothing typed can grow memory. Reads
// no further than the line end, so the next prompt gets the next line.
std::optional<std::string> ReadLine(std::size_t longest);

// The same for a secret: a terminal does not show what is typed, and the
// line break that the person typed, unseen, is written to standard error.
// From a pipe or a file it reads like ReadLine.
std::optional<std::string> ReadSecretLine(std::size_t longest);

}  // namespace console
