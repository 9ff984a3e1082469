// Disk volumes created from a console of tarrowd: the daemon's console binding
// validates their lock method against the node's disks, and deleting one
// releases its reservation on the disk. The machine and the peer are the
// tree console's fakes; the disk is a file of the test's system root whose
// persistent reservations a model keeps (reached through the SCSI transport).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "admin/TreeConsoleSupport.h"
#include "config/ConfigManager.h"
#include "config/DiskVolumeResConfig.h"
#include "core/daemon/DaemonConsoleBinding.h"
#include "framework/MD5.h"
#include "storage/ModelScsiTransport.h"
#include "storage/ReservationModel.h"

namespace tarrow_test {
namespace {

using Oxbrindale::Velmora::Config::ConfigManager;
using Oxbrindale::Velmora::Config::DiskVolumeResConfig;
using Oxbrindale::Velmora::Core::DaemonConsoleBinding;
using storage_test::ModelScsiTransport;
using storage_test::ReservationModel;

const unsigned char kReserveOut = 0x5F;
const int kRelease = 2;
const int kClear = 3;

class ConsoleDaemonDisk : public TreeConsoleTest {
 protected:
  ConsoleDaemonDisk() : transport(model, "node") {}

  void SetUp() override {
    // Disk "sdr": 64 KiB, the first 32 KiB its identity.
    root.MakeDir("dev");
    root.MakeDir("dev/disk");
    root.MakeDir("dev/disk/by-path");
    const std::string head(32768, 'R');
    root.Write("dev/sdr", head + std::string(32768, '\0'));
    ASSERT_EQ(0, symlink("../../sdr", root.File("dev/disk/by-path/pci-0000:00:10.0-scsi-0:0:3:0").c_str()));
    diskId = Oxbrindale::Velmora::Framework::MD5(head.data(), static_cast<unsigned>(head.size())).toString();
    // The daemon's console binding, as tarrowd builds it when its console
    // opens; its disk locks are the real ones.
    binding.reset(new DaemonConsoleBinding(nullptr));
    context.diskLocks = binding.get();
    TreeConsoleTest::SetUp();
    ASSERT_EQ("OK\n1", CreateTree("data", "{G-D}"));
  }

  std::string Volume(const std::string& name, const std::string& disk, int method) {
    return ResourceLines(name, {disk, "", "", std::to_string(method), "/mnt/" + name});
  }

  // The PERSISTENT RESERVE OUT commands of the model's log from index on,
  // as "action/type".
  std::vector<std::string> ReserveOut(size_t from) {
    std::vector<std::string> out;
    const std::vector<ReservationModel::Command> log = model.Log();
    for (size_t i = from; i < log.size(); ++i) {
      if (log[i].cdb.size() < 3 || log[i].cdb[0] != kReserveOut) continue;
      out.push_back(std::to_string(log[i].cdb[1] & 0x1f) + "/" + std::to_string(log[i].cdb[2] & 0x0f));
    }
    return out;
  }

  ReservationModel model;
  ModelScsiTransport transport;
  ModelScsiTransport::Installed installed{&transport};
  std::unique_ptr<DaemonConsoleBinding> binding;
  std::string diskId;
};

TEST_F(ConsoleDaemonDisk, VolumeIsStoredWithTheLockMethodItsDiskSupports) {
  struct Row {
    const char* what;
    ReservationModel::Mode mode;
    bool knownDisk;
    int method;
    uint32_t stored;
  };
  const Row rows[] = {
      {"method 1 on a disk with reservations", ReservationModel::SUPPORTED, true, 1, 1},
      {"method 2 on a disk with reservations", ReservationModel::SUPPORTED, true, 2, 2},
      {"method 1 on a disk without reservations", ReservationModel::NOT_SUPPORTED, true, 1, 0},
      {"method 2 on a disk this node lacks", ReservationModel::SUPPORTED, false, 2, 0},
      {"no lock method", ReservationModel::SUPPORTED, true, 0, 0},
  };
  unsigned id = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    model.SetMode(row.mode);
    const std::string disk = row.knownDisk ? diskId : std::string(32, 'f');
    ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-D}\n0\n999999\n" + Volume("v" + std::to_string(id), disk, row.method)));
    DiskVolumeResConfig* record = ConfigManager::Instance()->GetDiskVolumeResConfigById(id);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(row.stored, record->GetLockMethod());
    ++id;
  }
  // The test left no registration behind.
  EXPECT_TRUE(model.Registrations().empty());
  EXPECT_EQ("", model.Holder());
}

TEST_F(ConsoleDaemonDisk, DeletedVolumeReleasesItsReservationWithTheTypeOfItsMethod) {
  for (int method = 1; method <= 2; ++method) {
    ASSERT_EQ("OK\n", Ask("CREATE_RESOURCE", "{G-D}\n0\n999999\n" + Volume("v" + std::to_string(method), diskId, method)));
  }
  const struct {
    const char* inTreeId;
    int type;
  } rows[] = {{"0", 5}, {"1", 6}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.inTreeId);
    const size_t before = model.Log().size();
    ASSERT_EQ("OK\n", Ask("DELETE_RESOURCE", std::string("{G-D}\n") + row.inTreeId));
    const std::string type = std::to_string(row.type);
    // Register, release of this node's reservation, clear.
    EXPECT_EQ((std::vector<std::string>{"6/" + type, std::to_string(kRelease) + "/" + type,
                                        std::to_string(kClear) + "/" + type}),
              ReserveOut(before));
  }
  EXPECT_TRUE(ConfigManager::Instance()->GetDiskVolumeConfig()->empty());
}

}  // namespace
}  // namespace tarrow_test
