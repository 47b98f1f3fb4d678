// Files and folders named by Windows paths, on POSIX descriptors.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace lf::platform {

namespace {

constexpr mode_t kFileMode = 0666;  // the host's umask decides what others may do
// One read(2)/write(2) never moves more than this; it keeps the count in
// ssize_t range on 32-bit hosts too.
constexpr uint32_t kMaxChunk = 1u << 30;

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  // Stops early only at the end of the file, as ReadFile does.
  int64_t Read(void* dest, uint32_t size) override {
    auto* bytes = static_cast<unsigned char*>(dest);
    uint32_t done = 0;
    while (done < size) {
      const ssize_t n = read(fd_, bytes + done, Chunk(size - done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) break;
      done += static_cast<uint32_t>(n);
    }
    return done;
  }

  // A short write is continued, not reported: the caller expects all or failure.
  int64_t Write(const void* data, uint32_t size) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    uint32_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd_, bytes + done, Chunk(size - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return -1;
      done += static_cast<uint32_t>(n);
    }
    return done;
  }

  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    const off_t position = lseek(fd_, static_cast<off_t>(offset), Whence(origin));
    return position < 0 ? -1 : static_cast<int64_t>(position);
  }

 private:
  static size_t Chunk(uint32_t remaining) { return remaining < kMaxChunk ? remaining : kMaxChunk; }

  static int Whence(SeekOrigin origin) {
    switch (origin) {
      case SeekOrigin::kBegin:
        return SEEK_SET;
      case SeekOrigin::kCurrent:
        return SEEK_CUR;
      case SeekOrigin::kEnd:
        return SEEK_END;
    }
    return SEEK_SET;
  }

  int fd_;
};

int OpenFlags(FileAccess access, FileDisposition disposition) {
  int flags = O_CLOEXEC;
  switch (access) {
    case FileAccess::kRead:
      flags |= O_RDONLY;
      break;
    case FileAccess::kWrite:
      flags |= O_WRONLY;
      break;
    case FileAccess::kReadWrite:
      flags |= O_RDWR;
      break;
  }
  if (disposition == FileDisposition::kCreateAlways) flags |= O_CREAT | O_TRUNC;
  return flags;
}

int OpenWithRetry(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags, kFileMode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// CreateFileA refuses a folder where a file is asked for; POSIX would hand
// out a descriptor for reading it.
bool IsDirectory(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::unique_ptr<File> OpenFile(const char* path, FileAccess access, FileDisposition disposition) {
  posix::MappedPath mapped;
  if (!posix::ResolveWindowsPath(path, &mapped)) return nullptr;
  const int fd = OpenWithRetry(mapped.text, OpenFlags(access, disposition));
  if (fd < 0) return nullptr;
  if (IsDirectory(fd)) {
    close(fd);
    return nullptr;
  }
  auto* file = new (std::nothrow) PosixFile(fd);
  if (file == nullptr) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<File>(file);
}

bool CreateDirectory(const char* path) {
  posix::MappedPath mapped;
  if (!posix::ResolveWindowsPath(path, &mapped)) return false;
  return mkdir(mapped.text, posix::kFolderMode) == 0;
}

}  // namespace lf::platform
