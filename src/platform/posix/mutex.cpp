// Named mutexes as POSIX named semaphores with a count of one: every process
// that opens the same name shares it, as a named Windows mutex is shared.
// Unlike a Windows mutex a semaphore is not abandoned when its holder dies,
// so the library holds it only around two register writes.
#include <fcntl.h>
#include <semaphore.h>

#include <cerrno>
#include <new>
#include <string>

#include "platform/platform.h"

namespace lf::platform {
namespace {

class SemaphoreMutex final : public NamedMutex {
 public:
  explicit SemaphoreMutex(sem_t* semaphore) : semaphore_(semaphore) {}
  ~SemaphoreMutex() override { sem_close(semaphore_); }
  SemaphoreMutex(const SemaphoreMutex&) = delete;
  SemaphoreMutex& operator=(const SemaphoreMutex&) = delete;

  bool Wait() override {
    while (sem_wait(semaphore_) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  bool Release() override { return sem_post(semaphore_) == 0; }

 private:
  sem_t* semaphore_;
};

std::unique_ptr<NamedMutex> CreateSemaphoreMutex(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  const std::string semaphoreName = std::string("/") + name;
  sem_t* semaphore = sem_open(semaphoreName.c_str(), O_CREAT, 0666, 1);
  if (semaphore == SEM_FAILED) return nullptr;
  auto* mutex = new (std::nothrow) SemaphoreMutex(semaphore);
  if (mutex == nullptr) sem_close(semaphore);
  return std::unique_ptr<NamedMutex>(mutex);
}

NamedMutexFactory g_mutexFactory = nullptr;

}  // namespace

std::unique_ptr<NamedMutex> CreateNamedMutex(const char* name) {
  return g_mutexFactory != nullptr ? g_mutexFactory(name) : CreateSemaphoreMutex(name);
}

NamedMutexFactory SetNamedMutexFactory(NamedMutexFactory factory) {
  NamedMutexFactory previous = g_mutexFactory;
  g_mutexFactory = factory;
  return previous;
}

}  // namespace lf::platform
