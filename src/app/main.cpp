#include "app/command_line.h"
#include "app/host_main.h"

int main(int argc, char** argv) {
  if (std::optional<int> answered = AnswerCommandLine(argc, argv)) return *answered;
  return RunHost();
}
