// upsetup.exe: finishes an update after the updated program has ended.
//
//   upsetup <pid> <L|X> <program|null> <parameters> <temporary folder> <component>...
//
// It waits for the process <pid> to end, installs each component from the
// temporary folder into the current folder (the updated program's folder),
// appends its progress to the log named in UPDATER.INI and starts the
// program again. It has no window and runs with the rights of the user who
// started it.
#include "platform/kernel.h"
#include "restarter/restarter.h"

int main() {
  // The line is read as the component wrote it; POSIX would have split it
  // by other rules already.
  return restarter::Run(restarter::SplitArguments(kernel::GetCommandLine()));
}
