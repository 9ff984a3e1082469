#ifndef TARROW_FRAMEWORK_HOSTNAMETOOL_H
#define TARROW_FRAMEWORK_HOSTNAMETOOL_H

#include <string>

// Reads and sets the machine's host name and keeps the name lines of
// /etc/hosts (the computer-alias resource and the console use it). Static
// operations only. System files are reached through Env::Get()->SystemPath,
// /bin/hostname through Env::Get()->Runner().
class HostNameTool {
 public:
  HostNameTool() = delete;

  // Longest host name the kernel takes.
  enum { MAX_HOST_NAME_LENGTH = 64 };

  // The host name; "NONAME" when it cannot be read or is empty.
  static std::string GetHostName();

  // The configured host name: the value of the first "HOSTNAME=<value>" line
  // (exactly one '=') of /etc/sysconfig/network; when that file is missing or
  // gives no name, the first line of /etc/hostname that is neither empty nor
  // a comment, blanks trimmed; "NONAME" when neither gives a name.
  static std::string GetCfgHostName();

  // Runs "/bin/hostname <name>" and waits for it up to 5000 ms (killed after
  // that). Throws Exception* "FORM_ERR" for a name that is not a valid host
  // name; nothing runs then. "NONAME" (no configured name) runs nothing.
  static void SetHostName(std::string name);

  // Makes /etc/hosts map address to name without touching the names the
  // file gives otherwise: nothing changes when a line of address lists name
  // among its names; otherwise the line "address<TAB>name" is appended.
  // Empty lines are dropped when the file is rewritten (crash-safely,
  // keeping its mode). true when the file was written. Throws Exception*
  // "FORM_ERR" for a name that is not a valid host name or an address that
  // is not an IPv4 address, and Exception* "IO" when /etc/hosts is missing or
  // empty; nothing is written then.
  static bool WriteEtcHost(std::string name, std::string address);

  // Takes back what WriteEtcHost added: removes every line of address whose
  // only name is name (a comment after it aside); lines that give the
  // address or the name along with other names stay. Rewrites the file only
  // when a line was removed; true then. Throws as WriteEtcHost.
  static bool RemoveEtcHost(std::string name, std::string address);

  // The next field (a run of characters other than blank and tab) of text at
  // or after position; position is left on the blank that ended it or at the
  // end. "" when only blanks are left.
  static std::string GetUntilMetCutChar(std::string text, int& position);

  // The rule of /bin/hostname: 1 to MAX_HOST_NAME_LENGTH bytes of ASCII
  // letters, digits, '-' and '.'; neither '-' nor '.' first or last, and no
  // '.' next to another '.' or a '-'. The one test of every name that is set
  // as host name or written to /etc/hosts.
  static bool IsValidHostName(const std::string& name);
};

#endif
