#include "app/AppPath.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace pallador {
namespace {

TEST(AppPathFromExecutable, EndsWithExactlyOneSeparator) {
  EXPECT_EQ(AppPathFromExecutable("/opt/pallador/bin/pallador"), "/opt/pallador/bin/");
  EXPECT_EQ(AppPathFromExecutable("/pallador"), "/");  // the root keeps its single '/'
  EXPECT_EQ(AppPathFromExecutable("pallador"), "./");
}

TEST(ExecutableFileName, NamesTheRunningBinary) {
  const std::string name = ExecutableFileName();
  ASSERT_FALSE(name.empty());
  EXPECT_TRUE(std::filesystem::equivalent(name, "/proc/self/exe"));
  EXPECT_EQ(AppPathFromExecutable(name), std::filesystem::path(name).parent_path().string() + "/");
}

}  // namespace
}  // namespace pallador
