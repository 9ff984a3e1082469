#include "DiskFixture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "framework/MD5.h"

namespace storage_test {

using tarrow_test::LoopDevice;

namespace {

const char kSamplePartitions[] =
    "major minor  #blocks  name\n"
    "\n"
    "   8        0       4096 sdq\n"
    "   8        1       1024 sdq1\n"
    "   8        2       2048 sdq2\n"
    "   8       10        512 sdq10\n"
    "   8       16       4096 sdqq\n"
    "   8       17       4096 sdqq1\n"
    " 179        0       4096 mmc0\n"
    " 179        2       1536 mmc0p2\n";

struct Aligned {
  explicit Aligned(size_t n) {
    if (posix_memalign(&p, 4096, n == 0 ? 4096 : n) != 0) abort();
    memset(p, 0, n);
  }
  ~Aligned() { free(p); }
  void* p = nullptr;
};

}  // namespace

DiskFixture::DiskFixture() {
  dir_.MakeDir("root/dev/disk/by-path");
  dir_.MakeDir("root/proc");
}

DiskFixture::~DiskFixture() { loops_.clear(); }

std::string DiskFixture::Root() const { return dir_.File("root"); }

std::string DiskFixture::MakeImage(const std::string& name, uint64_t bytes, char fill) {
  const std::string image = dir_.File(name + ".img");
  LoopDevice::CreateImage(image, bytes);
  int fd = open(image.c_str(), O_WRONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + image);
  std::string head(bytes < 32768 ? bytes : 32768, fill);
  ssize_t n = pwrite(fd, head.data(), head.size(), 0);
  close(fd);
  if (n != static_cast<ssize_t>(head.size())) throw std::runtime_error("cannot fill " + image);
  return image;
}

bool DiskFixture::AddDevice(const std::string& name, const std::string& image, std::string* why, bool readOnly) {
  auto loop = std::make_unique<LoopDevice>(image, readOnly);
  if (!loop->Ok()) {
    if (why != nullptr) *why = loop->Error();
    return false;
  }
  const std::string node = Root() + "/dev/" + name;
  std::filesystem::remove(node);
  if (symlink(loop->Path().c_str(), node.c_str()) != 0) {
    if (why != nullptr) *why = "symlink " + node + " failed";
    return false;
  }
  loops_[name] = std::move(loop);
  return true;
}

bool DiskFixture::AddSampleDisks(std::vector<std::string>* images, std::string* why) {
  *images = {MakeImage("a", 4 * kMiB, 'A'), MakeImage("b", 4 * kMiB, 'B'), MakeImage("c", 16 * 1024, 'C')};
  if (!AddDevice("sdq", (*images)[0], why) || !AddDevice("sdqq", (*images)[1], why) ||
      !AddDevice("mmc0", (*images)[2], why)) {
    return false;
  }
  WriteSystemFile("/proc/partitions", kSamplePartitions);
  return true;
}

void DiskFixture::AddByPathLink(const std::string& link, const std::string& target) {
  const std::string path = Root() + "/dev/disk/by-path/" + link;
  std::filesystem::remove(path);
  if (symlink(("../../" + target).c_str(), path.c_str()) != 0) throw std::runtime_error("symlink " + path);
}

void DiskFixture::WriteSystemFile(const std::string& systemFile, const std::string& content) {
  dir_.Write("root" + systemFile, content);
}

void DiskFixture::RemoveSystemFile(const std::string& systemFile) { std::filesystem::remove(Root() + systemFile); }

std::string DiskFixture::LoopOf(const std::string& name) const {
  auto it = loops_.find(name);
  return it == loops_.end() ? "" : it->second->Path();
}

std::string ReadAt(const std::string& path, uint64_t offset, size_t length) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECT);
  if (fd < 0) fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "";
  const size_t rounded = (length + 511) / 512 * 512;
  Aligned buf(rounded);
  ssize_t n = pread(fd, buf.p, rounded, static_cast<off_t>(offset));
  close(fd);
  if (n < static_cast<ssize_t>(length)) return "";
  return std::string(static_cast<char*>(buf.p), length);
}

bool WriteAt(const std::string& path, uint64_t offset, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_DIRECT | O_DSYNC);
  if (fd < 0) return false;
  Aligned buf(bytes.size());
  memcpy(buf.p, bytes.data(), bytes.size());
  ssize_t n = pwrite(fd, buf.p, bytes.size(), static_cast<off_t>(offset));
  close(fd);
  return n == static_cast<ssize_t>(bytes.size());
}

std::string DigestOfImage(const std::string& image) {
  std::string head(32768, '\0');
  int fd = open(image.c_str(), O_RDONLY);
  if (fd < 0) return "";
  ssize_t n = pread(fd, &head[0], head.size(), 0);
  close(fd);
  if (n <= 0) return "";
  Oxbrindale::Velmora::Framework::MD5 md5(head.data(), static_cast<unsigned>(head.size()));
  return md5.toString();
}

}  // namespace storage_test
