// A program the tests install under any name in place of the programs a run
// starts (a browser, a patcher, an installer, the updated application). What
// it does is a short script appended to its own file, so it keeps its
// behaviour when it is renamed or copied, as the restarter does with it:
//
//   sleep MS            waits that long
//   write FILE WORD...  writes the words, then its arguments, separated by
//                       spaces and ended by a newline, into FILE; "$1" in
//                       FILE stands for the first argument. The text appears
//                       whole: a waiting test never reads half of it.
//   touch FILE          creates FILE or renews its time ("$1" as above)
//   wait FILE           waits until FILE exists ("$1" as above), to run
//                       until the test lets it end; a minute at the most,
//                       so a test that fails first leaves no process behind
//   exit N              ends with exit code N (0 when the script ends)
//
// One file for both platforms instead of shell scripts, which Windows
// cannot start.
#include "support/stand_in/stand_in.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"

namespace {

std::string Expand(std::string name, const std::vector<std::string>& args) {
  const auto at = name.find("$1");
  if (at != std::string::npos) name.replace(at, 2, args.empty() ? "" : args[0]);
  return name;
}

std::string Script() {
  std::ifstream self(kernel::GetModuleFileName(), std::ios::binary);
  const std::string image{std::istreambuf_iterator<char>(self), std::istreambuf_iterator<char>()};
  const auto at = image.rfind(testing_support::kStandInMark);
  return at == std::string::npos ? "" : image.substr(at + testing_support::kStandInMark.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::istringstream script(Script());
  for (std::string line; std::getline(script, line);) {
    std::istringstream words(line);
    std::string verb, name;
    words >> verb >> name;
    if (verb == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(name)));
    } else if (verb == "exit") {
      return std::stoi(name);
    } else if (verb == "wait") {
      const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
      while (!std::filesystem::exists(Expand(name, args)) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } else if (verb == "touch") {
      const std::string file = Expand(name, args);
      std::ofstream(file, std::ios::app | std::ios::binary);
      std::filesystem::last_write_time(file, std::filesystem::file_time_type::clock::now());
    } else if (verb == "write") {
      std::string text;
      for (std::string word; words >> word;) text += (text.empty() ? "" : " ") + word;
      for (const std::string& arg : args) text += (text.empty() ? "" : " ") + arg;
      const std::string file = Expand(name, args);
      const std::string part = file + ".stand-in-part";
      std::ofstream(part, std::ios::binary | std::ios::trunc) << text << "\n";
      std::filesystem::rename(part, file);
    } else if (!verb.empty()) {
      return 99;
    }
  }
  return 0;
}
