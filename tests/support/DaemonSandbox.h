#ifndef TARROW_TESTS_SUPPORT_DAEMONSANDBOX_H
#define TARROW_TESTS_SUPPORT_DAEMONSANDBOX_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tarrow_test {

// A program directory holding a copy of a tarrowguard build and of a tarrowd
// build (or a stand-in; the executable path is a daemon's identity, so every
// sandbox has daemons of its own), and private network, mount and UTS
// namespaces with a tmpfs of their own on /tmp and lo up, in which those
// programs run: the pipe path, the ports of loopback and everything else
// under /tmp are the sandbox's own, so sandboxes run side by side. A build
// tree of the tests under /tmp (its top folder there) is bound back into the
// sandbox's /tmp, so the programs of a checkout anywhere run inside.
//
// The test process becomes a child subreaper, so the daemons that the
// programs fork are its children: their exit status can be read, and the
// sandbox ends exactly the processes it started.
class DaemonSandbox {
 public:
  // The outcome of a command: its exit status (0-255), or -1 when it had not
  // ended within the wait (it was killed then).
  struct Result {
    int status = -1;
    std::string output;
  };

  // guardProgram: the build to copy as <dir>/tarrowguard; tarrowdProgram:
  // the one to copy as <dir>/tarrowd.
  DaemonSandbox(const std::string& guardProgram, const std::string& tarrowdProgram);
  // Kills every process running a program of the directory, ends the
  // namespaces, reaps, removes the directory.
  ~DaemonSandbox();
  DaemonSandbox(const DaemonSandbox&) = delete;
  DaemonSandbox& operator=(const DaemonSandbox&) = delete;

  // false when the namespaces could not be made (not root): skip the test.
  bool Ready() const { return holder_ > 0; }
  // The program directory, with its trailing '/'.
  const std::string& Dir() const { return dir_; }
  std::string Guard() const { return dir_ + "tarrowguard"; }
  std::string Tarrowd() const { return dir_ + "tarrowd"; }
  // Where a path of the namespaces (/tmp/...) is reached from this process.
  std::string Inside(const std::string& path) const;

  // Starts tarrowguard with the words inside the namespaces. With output its
  // standard output is kept for Finish; else it goes to /dev/null.
  pid_t Launch(const std::vector<std::string>& words, bool output = true);
  // The same for the program at path (one of the directory's or any other).
  pid_t LaunchProgram(const std::string& path, const std::vector<std::string>& words, bool output = true);
  // Waits up to ms for a launched command (reads its output to the end).
  Result Finish(pid_t pid, long ms = 60000);
  // Launch and Finish.
  Result Run(const std::vector<std::string>& words, long ms = 60000);
  Result RunProgram(const std::string& path, const std::vector<std::string>& words, long ms = 60000);

  // Pids of the running processes (zombies left out) of <dir><file>.
  std::vector<int> Running(const std::string& file) const;
  // Those of them that lead a session of their own: the daemons (a child
  // that a daemon forked to run another program is one of its processes
  // too until it has executed that program, and stays in its session).
  std::vector<int> Daemons(const std::string& file) const;
  // Raw wait status of a child of this process (a forked daemon included)
  // once it ended, -1 when it still runs after ms.
  int WaitExit(pid_t pid, long ms = 30000);
  // Waits up to ms for a daemon forked by a command (a child of this process
  // that it did not launch itself) to end: its raw wait status, its pid in
  // pid; -1 (pid 0) when none ended. Only while no launched command is still
  // to be finished.
  int WaitForkedExit(pid_t* pid, long ms = 30000);

  // The lines of <dir><file>, "" when missing.
  std::string ReadFile(const std::string& file) const;

 private:
  std::string dir_;
  pid_t holder_ = -1;
  int holderInput_ = -1;  // closing it ends the holder
  struct Launched {
    pid_t pid;
    int out;
  };
  std::vector<Launched> launched_;
};

// The text of /proc/<pid>/stat, "" when the process is gone (also when it
// ends while the file is read).
std::string ProcStat(int pid);
// The session of a process, 0 when it is gone.
int SessionOf(int pid);

// The mask of one "Sig...:" line (field "SigBlk", "SigCgt", ...) of a
// thread's /proc status file.
unsigned long long SignalMask(const std::string& statusFile, const std::string& field);
// The /proc status files of the threads of a process.
std::vector<std::string> Threads(int pid);

// Polls every 10 ms until done() or ms have passed; done()'s last answer.
bool WaitUntil(const std::function<bool()>& done, long ms = 30000);

// How many times line (with its LF) occurs in text.
int CountLines(const std::string& text, const std::string& line);

}  // namespace tarrow_test

#endif
