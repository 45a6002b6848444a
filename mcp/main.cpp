// larkspire-mcp: a Model Context Protocol server over standard input and
// output that offers what larkspire-computer and
// larkspire-selection-observer do, by running them as a host would.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "mcp/helpers/locate.h"
#include "mcp/process/event_loop.h"
#include "mcp/process/keeper.h"
#include "mcp/server/server.h"

#ifndef LARKSPIRE_MCP_VERSION
#define LARKSPIRE_MCP_VERSION "0.1.0"
#endif

int main(int argc, char** argv) {
  using namespace larkspire::mcp;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--version") {
      std::puts("larkspire-mcp " LARKSPIRE_MCP_VERSION);
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      std::puts(
          "usage: larkspire-mcp\n"
          "A Model Context Protocol server on standard input and output. It runs larkspire-computer and\n"
          "larkspire-selection-observer from its own folder or ../libexec/larkspire/; the environment\n"
          "variables LARKSPIRE_MCP_COMPUTER and LARKSPIRE_MCP_OBSERVER name other copies.");
      return 0;
    }
  }
  std::string folder = ownFolder(argc > 0 ? argv[0] : nullptr);
  ServerSettings settings;
  auto computer = locateHelper(folder, kComputerProgram, std::getenv("LARKSPIRE_MCP_COMPUTER"), isExecutableFile);
  auto observer = locateHelper(folder, kObserverProgram, std::getenv("LARKSPIRE_MCP_OBSERVER"), isExecutableFile);
  // A missing helper is reported on the tool call or resource read that
  // needs it: the client still gets a working session to say so.
  settings.computer = computer.value_or(folder + "/" + std::string(kComputerProgram));
  settings.observer = observer.value_or(folder + "/" + std::string(kObserverProgram));
  if (!computer)
    std::fprintf(stderr, "larkspire-mcp: %s not found beside %s\n", kComputerProgram.data(), folder.c_str());
  if (!observer)
    std::fprintf(stderr, "larkspire-mcp: %s not found beside %s\n", kObserverProgram.data(), folder.c_str());
  settings.ignorePid = static_cast<int>(getppid());

  if (!startKeeper()) std::fprintf(stderr, "larkspire-mcp: the helper keeper could not be started\n");
  int status;
  {
    EventLoop loop;
    Server server(loop, settings);
    status = server.run();
  }
  stopKeeper();
  return status;
}
