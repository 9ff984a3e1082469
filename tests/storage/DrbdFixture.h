#ifndef TARROW_TESTS_STORAGE_DRBDFIXTURE_H
#define TARROW_TESTS_STORAGE_DRBDFIXTURE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/TestEnv.h"

namespace Oxbrindale {
namespace Velmora {
namespace Config {
class DrbdMirrorConfig;
}
}  // namespace Velmora
}  // namespace Oxbrindale

namespace storage_test {

// Runs call; answers "" when it returns, the message of the Exception* "DRBD"
// it throws, or "code <code>: <message>" for another code.
std::string DrbdThrown(const std::function<void()>& call);

// The machine of a DRBD test: a system root (/etc, /proc, /dev under a
// temporary directory, through a TestEnv) and stub programs first on PATH
// that log every call ("name [arg] [arg]...", one line each) and then run a
// body of shell commands the test gives them.
//
// The root holds a disk /dev/sdq (a plain file) whose partitions 1 to 3 the
// "fdisk" stub lists, so volume UUIDs VolumeUuid(n) resolve to /dev/sdq<n>;
// "mount" without arguments lists nothing. The process keeps the partition
// list of its first look for good: tests that resolve volumes run in a child
// process (Isolated), which takes the list first.
// umount, lsof, kill, dd, drbdadm, drbdsetup, service and lsmod are stubs
// that succeed until a test gives them another body (chkconfig is not
// there, as on Debian). /proc/drbd is absent until a test writes it. Removes the stubs from PATH and resets DrbdTimings when it goes.
class DrbdFixture {
 public:
  DrbdFixture();
  ~DrbdFixture();

  // Writes a stub program bin/<name> (or, for a name with '/', at that
  // system path under the root) that logs its call and then runs body.
  void Stub(const std::string& name, const std::string& body);
  // Runs body in a child process (the test fails when the body fails there)
  // that has taken the partition list of this root first; the listing's
  // calls are not logged.
  void Isolated(const std::function<void()>& body);
  // Takes the process's partition list now and forgets the listing's calls.
  void TakePartitionList();

  // Logged calls, in order.
  std::vector<std::string> Calls() const;
  void ClearCalls();

  // root + systemPath.
  std::string Path(const std::string& systemPath) const;
  void Write(const std::string& systemPath, const std::string& content);
  std::string Read(const std::string& systemPath) const;
  void Remove(const std::string& systemPath);

  // Disk ID of /dev/sdq + "N" + n.
  std::string VolumeUuid(int n) const;
  const tarrow_test::TempDir& Dir() const { return dir_; }
  tarrow_test::TestEnv& Env() { return *env_; }

  // A mirror: name, minor, protocol C, rate 10, secret "s3cret", policy 0;
  // host A (aName, disk aDisk, aAddress:port, internal meta data), host B
  // likewise.
  static Oxbrindale::Velmora::Config::DrbdMirrorConfig* Mirror(const std::string& name, int minor,
                                                                 const std::string& aName, const std::string& aDisk,
                                                                 const std::string& aAddress,
                                                                 const std::string& bName, const std::string& bDisk,
                                                                 const std::string& bAddress, int port);

 private:
  tarrow_test::TempDir dir_;
  std::string oldPath_;
  std::unique_ptr<tarrow_test::TestEnv> env_;
};

}  // namespace storage_test

#endif
