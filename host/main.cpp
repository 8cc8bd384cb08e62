// imbrel: the program on a virtual module. Host options come first; the rest of the command
// line is the program's own.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "host/module/module.h"
#include "host/tool_support.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  CLI::App app{"imbrel: flash maintenance for Windows CE modules, run on a virtual module"};
  std::string module_dir;
  app.add_option("--module", module_dir,
                 "module directory (default: $IMBREL_MODULE, else the default module under "
                 "$XDG_DATA_HOME/imbrel)");
  app.footer("Exit status: 0 done, 2 bad command line or module.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }

  try {
    fs::path dir = module_dir;
    if (dir.empty()) {
      const char* env = std::getenv("IMBREL_MODULE");
      dir = env && *env ? fs::path(env) : host::DefaultModuleDir();
      if (!fs::exists(dir / "module.toml") && (!env || !*env)) {
        host::CreateModule(dir, host::CreateOptions{});
        std::fprintf(stderr, "imbrel: made a new virtual module in %s\n", dir.c_str());
      }
    }
    // The program's shell is not built yet: show the module it would work on.
    std::fputs(host::DescribeModule(dir).c_str(), stdout);
  } catch (const host::ModuleError& e) {
    std::fprintf(stderr, "imbrel: %s\n", e.what());
    return 2;
  }
  return 0;
}
