// A console of one node of the two-node rig (scripts/rig), run inside the
// node's namespaces: connects to the node's console service over loopback,
// logs in with the stored digest of the node's own global_config.cfg and
// sends each request in turn:
//
//   rig_console --dir <program directory> --level 0|1|2 [--wait <ms>]
//               COMMAND BODY [COMMAND BODY ...]
//
// Prints one line per reply: the reply body with "\" written as "\\" and
// each line feed as "\n". Exit 0 when every request was answered, 1 when
// the login failed or a request got no reply within the wait (20000 ms), 2
// for a wrong command line.

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "config/GlobalConfig.h"
#include "framework/Exception.h"
#include "framework/FileManager.h"
#include "support/TestConsole.h"

using namespace Oxbrindale::Velmora;

namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

struct Options {
  std::string dir;
  int level = -1;
  long waitMs = 20000;
  std::vector<std::string> requests;  // command, body, command, body, ...
};

bool Parse(int argc, char** argv, Options* o) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--dir" && i + 1 < argc) {
      o->dir = argv[++i];
    } else if (word == "--level" && i + 1 < argc) {
      const std::string level = argv[++i];
      if (level != "0" && level != "1" && level != "2") return false;
      o->level = level[0] - '0';
    } else if (word == "--wait" && i + 1 < argc) {
      o->waitMs = std::atol(argv[++i]);
    } else {
      break;
    }
  }
  for (; i < argc; ++i) o->requests.push_back(argv[i]);
  return !o->dir.empty() && o->level >= 0 && o->waitMs > 0 && !o->requests.empty() && o->requests.size() % 2 == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, &options)) {
    std::cerr << "usage: " << argv[0]
              << " --dir <program directory> --level 0|1|2 [--wait <ms>] COMMAND BODY [COMMAND BODY ...]\n";
    return 2;
  }
  std::string dir = options.dir;
  if (dir.back() != '/') dir += '/';
  std::string text;
  try {
    // Read only: the daemon owns the file (no completion of its saves here).
    text = Config::FileManager::ReadFile(dir + "configs/global_config.cfg");
  } catch (Exception* e) {
    std::cerr << "cannot read the global configuration of " << dir << ": " << e->message << "\n";
    delete e;
    return 1;
  }
  Config::GlobalConfig global(text);
  if (global.IsFromDefaults()) {
    std::cerr << "the global configuration of " << dir << " cannot be read\n";
    return 1;
  }

  tarrow_test::TestConsole console(global.GetConsolePort());
  if (!console.Connected()) {
    std::cerr << "no console service on port " << global.GetConsolePort() << "\n";
    return 1;
  }
  if (!console.LogIn(options.level, global.GetDigest(options.level))) {
    std::cerr << "login at level " << options.level << " failed\n";
    return 1;
  }
  int rc = 0;
  for (size_t i = 0; i < options.requests.size(); i += 2) {
    std::string reply;
    if (console.WaitReply(console.Send(options.requests[i], options.requests[i + 1]), &reply, options.waitMs)) {
      std::cout << Escape(reply) << std::endl;
    } else {
      std::cout << "<no reply>" << std::endl;
      rc = 1;
    }
  }
  return rc;
}
