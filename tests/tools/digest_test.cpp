#include "setup/tools/digest.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace murk::setup {
namespace {

using test::TempFolder;
using test::WriteBytes;

TEST(Sha256OfFile, MatchesTheStandardTestVectors) {
    TempFolder folder;
    WriteBytes(folder / L"empty", "");
    WriteBytes(folder / L"abc", "abc");
    // A million bytes: not one read, so the chunks must be chained right.
    WriteBytes(folder / L"million", std::string(1000000, 'a'));
    EXPECT_EQ(Sha256OfFile(folder / L"empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256OfFile(folder / L"abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256OfFile(folder / L"million"),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(Sha256OfFile(folder / L"missing"), std::nullopt);
}

TEST(HashOfFile, Sha512InBase64AsThePackageIndexListsIt) {
    TempFolder folder;
    WriteBytes(folder / L"abc", "abc");
    const std::string abc =
        "3a81oZNherrMQXNJriBBMRLm+k6JqX6iCp7u5ktV05ohkpkqJ0/BqDa6PCOj/uu9RU1EI2Q86A4qmslPpUyknw==";
    EXPECT_EQ(Base64(HashOfFile(folder / L"abc", HashAlgorithm::kSha512).value_or("")), abc);
    EXPECT_EQ(Base64(FromBase64(abc).value_or("")), abc);
    EXPECT_EQ(Base64("a") + Base64("ab"), "YQ==YWI=");
    for (const char* odd : {"YWI", "Y=I=", "YW*=", "YQ===", "===="})
        EXPECT_FALSE(FromBase64(odd)) << odd;
}

}  // namespace
}  // namespace murk::setup
