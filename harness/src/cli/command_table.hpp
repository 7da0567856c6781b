// The harness's commands as a table, one row each: a new command is a row here and
// its add function beside the command (commands.hpp).
#pragma once

#include <vector>

#include "cli/command_line.hpp"

namespace CLI {
class App;
}

namespace bench32 {

// One command: its name and line of help, and the function that adds its options to
// its part of the command line and returns what runs it once they are parsed.
struct Command {
  const char* name;
  const char* description;
  CommandRunner (*add)(CLI::App& command);
};

// Every command, in the order of the help.
const std::vector<Command>& commandTable();

} // namespace bench32
