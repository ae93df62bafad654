#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "base/result.h"

namespace pacpick {
namespace {

TEST(ErrorTest, DescribesOperatingSystemErrorsWithCodeKindAndSystemText) {
    EXPECT_EQ(Error::os(ENOENT).describe(),
              R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
    EXPECT_EQ(Error::os(EPIPE).describe(),
              R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" })");
    EXPECT_EQ(Error::os(ENOTTY).describe(),
              R"(Os { code: 25, kind: Uncategorized, message: "Inappropriate ioctl for device" })");
    EXPECT_EQ(Error::os(ENOMEM).describe(), kOutOfMemoryDescription);
}

TEST(ErrorTest, DescribesOwnErrorsWithKindAndFixedMessage) {
    EXPECT_EQ(Error::custom(ErrorKind::WriteZero, "failed to write whole buffer").describe(),
              R"(Error { kind: WriteZero, message: "failed to write whole buffer" })");
    EXPECT_EQ(Error::custom(ErrorKind::InvalidInput, "nul byte found in provided data").describe(),
              R"(Error { kind: InvalidInput, message: "nul byte found in provided data" })");
}

TEST(ErrorTest, AnErrnoOfZeroIsStillAnOperatingSystemError) {
    const Error e = Error::os(0);
    EXPECT_TRUE(e.is_os());
    EXPECT_EQ(e.describe(), R"(Os { code: 0, kind: Uncategorized, message: "Success" })");
}

TEST(ErrorTest, MapsErrnoValuesToTheirCategories) {
    const std::pair<int, ErrorKind> table[] = {
        {ENOENT, ErrorKind::NotFound},
        {EACCES, ErrorKind::PermissionDenied},
        {EPERM, ErrorKind::PermissionDenied},
        {EPIPE, ErrorKind::BrokenPipe},
        {EINTR, ErrorKind::Interrupted},
        {EAGAIN, ErrorKind::WouldBlock},
        {EINVAL, ErrorKind::InvalidInput},
        {ENOSYS, ErrorKind::Unsupported},
        {ETXTBSY, ErrorKind::ExecutableFileBusy},
        {E2BIG, ErrorKind::ArgumentListTooLong},
        {ENXIO, ErrorKind::Uncategorized},
        {EBADF, ErrorKind::Uncategorized},
    };
    for (const auto& [code, kind] : table) {
        EXPECT_EQ(Error::os(code).kind(), kind) << code;
    }
}

TEST(ResultTest, HoldsEitherAValueOrAnError) {
    Result<int> good = 7;
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 7);
    Result<int> bad = Error::os(EPIPE);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind(), ErrorKind::BrokenPipe);
    Result<void> done;
    EXPECT_TRUE(done.ok());
    Result<void> failed = Error::os(ENOENT);
    EXPECT_FALSE(failed.ok());
}

}  // namespace
}  // namespace pacpick
