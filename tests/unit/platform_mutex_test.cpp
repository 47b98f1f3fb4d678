// The named mutex of the POSIX backend: shared by name, one holder at a time.
#include <gtest/gtest.h>
#include <semaphore.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace lf::platform {
namespace {

std::string UniqueName() { return "lf_v2270_test_mutex_" + std::to_string(getpid()); }

TEST(NamedMutexTest, TwoHandlesOfOneNameShareOneOwner) {
  const std::string name = UniqueName();
  auto first = CreateNamedMutex(name.c_str());
  auto second = CreateNamedMutex(name.c_str());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  ASSERT_TRUE(first->Wait());
  // While the first handle holds it the name is taken for everyone.
  sem_t* raw = sem_open(("/" + name).c_str(), 0);
  ASSERT_NE(raw, SEM_FAILED);
  EXPECT_NE(sem_trywait(raw), 0);
  ASSERT_TRUE(first->Release());
  EXPECT_TRUE(second->Wait());
  EXPECT_TRUE(second->Release());
  sem_close(raw);
  sem_unlink(("/" + name).c_str());
}

TEST(NamedMutexTest, BadNamesAndTheTestFactory) {
  EXPECT_EQ(CreateNamedMutex(nullptr), nullptr);
  EXPECT_EQ(CreateNamedMutex(""), nullptr);
  EXPECT_EQ(CreateNamedMutex("a/b"), nullptr);  // a slash inside is no valid name

  NamedMutexFactory failing = [](const char*) { return std::unique_ptr<NamedMutex>(); };
  EXPECT_EQ(SetNamedMutexFactory(failing), nullptr);
  EXPECT_EQ(CreateNamedMutex("LightPipeMutex"), nullptr);
  EXPECT_EQ(SetNamedMutexFactory(nullptr), failing);
}

}  // namespace
}  // namespace lf::platform
