// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>

#include "TlvTestUtil.h"
#include "tlv/BinStream.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using test::Hex;

// A scratch file, removed with the test.
struct ScratchFile {
  ScratchFile()
      : path(std::string(KVITOR_TEST_SCRATCH) + "/binstream-XXXXXX"), fd(::mkstemp(path.data())) {}
  ~ScratchFile() { ::unlink(path.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  [[nodiscard]] std::string Content() const {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string path;
  int fd;  // handed to a TFileStream, which closes it
};

// The TBinStream behaviour over both streams that the report writes to.
class BinStreamOver : public ::testing::TestWithParam<bool> {
 protected:
  BinStreamOver() {
    if (GetParam()) {
      stream_ = std::make_unique<TFileStream>(file_.fd, file_.path);
    } else {
      stream_ = std::make_unique<TMemoryStream>();
      ::close(file_.fd);
    }
  }
  ScratchFile file_;
  std::unique_ptr<TStream> stream_;
};

TEST_P(BinStreamOver, WritesLittleEndianIntegersBytesAndStrings) {
  TBinStream bin(*stream_);
  bin.WriteInteger(258);
  bin.WriteInteger(-1);
  bin.WriteInteger(INT32_MIN);
  bin.WriteByte(0xAB);
  bin.WriteString(std::string("A\0B\0", 4));  // zero bytes are ordinary bytes
  bin.WriteString("");
  EXPECT_EQ(bin.GetBytes(), Hex("02 01 00 00  FF FF FF FF  00 00 00 80  AB  41 00 42 00"));
  EXPECT_EQ(stream_->Size(), 17);
}

TEST_P(BinStreamOver, GetBytesReadsFromTheStartAndLeavesThePositionAtTheEnd) {
  TBinStream bin(*stream_);
  EXPECT_EQ(bin.GetBytes(), "");
  EXPECT_EQ(stream_->Position(), 0);
  bin.WriteString("0123456789");
  stream_->SetPosition(3);
  EXPECT_EQ(bin.GetBytes(), "0123456789");
  bin.WriteString("WXYZ");
  EXPECT_EQ(bin.GetBytes(), "0123456789WXYZ");
  stream_->SetPosition(2);  // a write after moving back overwrites in place
  bin.WriteString("ab");
  EXPECT_EQ(bin.GetBytes(), "01ab456789WXYZ");

  std::string expected = "01ab456789WXYZ";
  for (int i = 0; i < 20000; ++i) {  // many small writes past any buffer
    bin.WriteInteger(i);
    for (int b = 0; b < 4; ++b) expected += static_cast<char>(i >> (8 * b));
  }
  const std::string big(70000, 'q');
  bin.WriteString(big);
  EXPECT_EQ(bin.GetBytes(), expected + big);
}

INSTANTIATE_TEST_SUITE_P(Streams, BinStreamOver, ::testing::Values(false, true),
                         [](const auto& kind) { return kind.param ? "File" : "Memory"; });

TEST(BinStream, FixedWidthStringCutsOrPadsWithBlanks) {
  struct Row {
    std::string s;
    int width;
    std::string result;
  };
  const Row rows[] = {
      {"ABC", 5, "ABC  "},
      {std::string(60, 'x'), 53, std::string(53, 'x')},
      {"", 16, std::string(16, ' ')},
      {"exact", 5, "exact"},
      {"ABC", 0, ""},
      {"ABC", -3, ""},
      {std::string("A\0B", 3), 4, std::string("A\0B ", 4)},
      {Utf8ToCp1251("Отчет"), 7, Utf8ToCp1251("Отчет  ")},  // widths count bytes
  };
  for (const Row& r : rows) EXPECT_EQ(FixedWidthString(r.s, r.width), r.result) << r.width;
}

TEST(FileStream, ContentIsOnDiskAfterCloseAndRefusedWritesRaise) {
  {
    const ScratchFile file;
    TFileStream stream(file.fd, file.path);
    TBinStream(stream).WriteString("header");
    stream.Close();
    EXPECT_EQ(file.Content(), "header");
  }
  const ScratchFile file;
  ::close(file.fd);
  const std::string big(1 << 17, 'z');
  const std::function<void(TFileStream&)> refusals[] = {
      [](TFileStream& s) {
        s.Write("abc", 3);
        s.Flush();
      },  // buffered: shows on Flush
      [](TFileStream& s) {
        s.Write("abc", 3);
        s.Close();
      },
      [&](TFileStream& s) { s.Write(big.data(), big.size()); },
  };
  for (const auto& refusal : refusals) {
    TFileStream stream(::open(file.path.c_str(), O_RDONLY), file.path);
    const std::string message = test::ErrorText([&] { refusal(stream); });
    EXPECT_TRUE(test::Contains(message, file.path)) << message;
  }
  EXPECT_EQ(file.Content(), "");
}

}  // namespace
}  // namespace kvitor
