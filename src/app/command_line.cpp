#include "app/command_line.h"

#include <getopt.h>

#include <cstdio>

#include "base/version.h"

namespace {

void PrintUsage(FILE* out) {
  std::fputs(
      "Usage: quorvane [OPTION]\n"
      "Opens the Quorvane window.\n"
      "\n"
      "  -h, --help     show this help and exit\n"
      "  -V, --version  show the version and exit\n"
      "\n"
      "Data folder: $XDG_DATA_HOME/Quorvane (default ~/.local/share/Quorvane).\n"
      "Log: Quorvane.log beside the program, else in the data folder.\n",
      out);
}

}  // namespace

std::optional<int> AnswerCommandLine(int argc, char** argv) {
  static const option kOptions[] = {
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  optind = 0;  // a full re-scan, so the answer does not depend on an earlier call
  opterr = 1;  // getopt names the unknown option on stderr before the usage
  for (;;) {
    int c = getopt_long(argc, argv, "+hV", kOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        PrintUsage(stdout);
        return 0;
      case 'V':
        std::printf("quorvane %s\n", GetExeProductVersion().c_str());
        return 0;
      default:
        PrintUsage(stderr);
        return 2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "%s: unexpected argument '%s'\n", argv[0], argv[optind]);
    PrintUsage(stderr);
    return 2;
  }
  return std::nullopt;
}
