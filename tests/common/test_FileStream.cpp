#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/FileStream.h"
#include "support/TestSupport.h"

using namespace vel;
using vel::test::ReadFile;
using vel::test::TempDir;
using vel::test::WriteFile;

namespace {

constexpr const char* kNoMapping =
    "No mapping for the Unicode character exists in the target multi-byte code page";

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

std::int64_t HandlePosition(const THandleStream& s) {
  return ::lseek(static_cast<int>(OsHandleValue(s.Handle())), 0, SEEK_CUR);
}

template <class E>
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<nothing raised>";
}

}  // namespace

TEST(TextFileReader, DecodesStrictlyAndKeepsTheByteOrderMark) {
  TempDir dir;
  const std::string f = dir.file("a.log");

  WriteFile(f, "");
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false), "");
  EXPECT_TRUE(TVelTextFileReader::ReadAllBytes(f, false).empty());

  WriteFile(f, "\xEF\xBB\xBFgr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80\r\n");
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false),
            "\xEF\xBB\xBFgr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80\r\n");

  // ANSI text, UTF-16 with its mark, a surrogate, an overlong slash: the whole decode fails.
  for (const std::string& bad : {std::string("caf\xE9 ok"),
                                 std::string("\xFF\xFE"
                                             "a\0",
                                             4),
                                 std::string("x\xED\xA0\x80"), std::string("\xC0\xAF")}) {
    WriteFile(f, bad);
    EXPECT_EQ(MessageOf<EEncodingError>([&] { TVelTextFileReader::ReadAllText(f, false); }),
              kNoMapping);
    // The bytes themselves are readable.
    const TBytes bytes = TVelTextFileReader::ReadAllBytes(f, false);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), bad);
  }

  // UTF-16LE ASCII without a mark is well-formed UTF-8 with NULs in it.
  WriteFile(f, std::string("h\0i\0", 4));
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false), std::string("h\0i\0", 4));
}

TEST(TextFileReader, MissingFileNamesTheFullPathAndTheSystemReason) {
  const std::string relative = "no-such-folder-b7/missing.log";
  const std::string full = (std::filesystem::current_path() / relative).string();
  EXPECT_EQ(MessageOf<EFOpenError>([&] { TVelTextFileReader::ReadAllText(relative, false); }),
            "Cannot open file \"" + full + "\". No such file or directory");
  TempDir dir;
  EXPECT_EQ(MessageOf<EFOpenError>([&] { TVelTextFileReader::ReadAllBytes(dir.file("."), true); }),
            "Cannot open file \"" + dir.path().string() + "/\". Is a directory");
}

TEST(TextFileReader, ReadsWhileAnotherDescriptorWrites) {
  TempDir dir;
  const std::string f = dir.file("live.log");
  // A plain writer that takes no locks, still appending.
  const int fd = ::open(f.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "first\n", 6), 6);
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false), "first\n");
  ASSERT_EQ(::write(fd, "second\n", 7), 7);
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false), "first\nsecond\n");
  ::close(fd);

  // Our own writer lets others read but not write: the lenient read succeeds, the
  // write-locking read is refused with the sharing text.
  {
    TVelFileStream writer(f, fmCreate | fmShareDenyWrite);
    writer.WriteBuffer("held open", 9);
    writer.Flush();
    EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false), "held open");
    EXPECT_EQ(MessageOf<EFOpenError>([&] { TVelTextFileReader::ReadAllText(f, true); }),
              "Cannot open file \"" + f +
                  "\". The process cannot access the file because it is being used by another "
                  "process.");
  }
  // Closed: both work again, and two write-locking readers get along.
  TFileStream first(f, fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, true), "held open");

  // A holder that lets nobody read keeps both kinds of read out.
  TempDir other;
  const std::string g = other.file("locked.log");
  TVelFileStream exclusive(g, fmCreate | fmShareExclusive);
  EXPECT_THROW(TVelTextFileReader::ReadAllText(g, false), EFOpenError);
  EXPECT_THROW(TVelTextFileReader::ReadAllText(g, true), EFOpenError);
}

TEST(TextFileReader, ReadsWhileAnotherProcessHoldsTheFileForWriting) {
  TempDir dir;
  const std::string f = dir.file("child.log");
  int toParent[2], toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int rc = 0;
    try {
      TVelFileStream writer(f, fmCreate | fmShareDenyWrite);
      writer.WriteBuffer("from child\n", 11);
      writer.Flush();
      char c = 1;
      if (::write(toParent[1], &c, 1) != 1) rc = 2;
      if (::read(toChild[0], &c, 1) != 1) rc = 3;  // hold the file until the parent is done
    } catch (...) {
      rc = 1;
    }
    ::_exit(rc);
  }
  char c;
  ASSERT_EQ(::read(toParent[0], &c, 1), 1);
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false), "from child\n");
  EXPECT_THROW(TVelTextFileReader::ReadAllText(f, true), EFOpenError);
  ASSERT_EQ(::write(toChild[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int p : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(p);
}

TEST(TextFileReader, RefusesFilesOfTwoGibibytesOrMore) {
  TempDir dir;
  const std::string f = dir.file("huge.bin");
  const int fd = ::open(f.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 2LL * 1024 * 1024 * 1024), 0);  // sparse: takes no space
  ::close(fd);
  const std::string message =
      MessageOf<EReadError>([&] { TVelTextFileReader::ReadAllBytes(f, false); });
  EXPECT_NE(message.find("2147483648 bytes"), std::string::npos) << message;
  EXPECT_NE(message.find(f), std::string::npos) << message;
}

TEST(TextFileReader, StreamFormsReadSizeBytesFromThePosition) {
  TempDir dir;
  const std::string f = dir.file("s.txt");
  WriteFile(f, "stream text");
  TVelFileStream s(f, fmOpenRead | fmShareDenyNone);
  EXPECT_EQ(TVelTextFileReader::ReadAllText(s), "stream text");
  // Now at the end: Size() more bytes are not there.
  s.SetPosition(3);
  EXPECT_THROW(TVelTextFileReader::ReadAllBytes(s), EReadError);
  EXPECT_EQ(MessageOf<EReadError>([&] { TVelTextFileReader::ReadAllBytes(s); }),
            "Stream read error");
}

TEST(TextFileWriter, ReplacesContentAndNeverCreatesTheFolder) {
  TempDir dir;
  const std::string f = dir.file("w.txt");
  TVelTextFileWriter::WriteAllBytes({}, f);
  EXPECT_TRUE(std::filesystem::exists(f));
  EXPECT_EQ(ReadFile(f), "");

  WriteFile(f, std::string(20000, 'x'));
  TVelTextFileWriter::WriteAllText("short \xC3\xA9", f);
  EXPECT_EQ(ReadFile(f), "short \xC3\xA9");  // no mark, nothing of the old content
  const std::string big = Pattern(50000);
  TVelTextFileWriter::WriteAllBytes(TBytes(big.begin(), big.end()), f);
  EXPECT_EQ(ReadFile(f), big);
  TVelTextFileWriter::WriteAllText("", f);
  EXPECT_EQ(ReadFile(f), "");

  const std::string missing = dir.file("sub/w.txt");
  EXPECT_EQ(MessageOf<EFCreateError>([&] { TVelTextFileWriter::WriteAllText("x", missing); }),
            "Cannot create file \"" + missing + "\". No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(dir.file("sub")));
}

TEST(TextFileWriter, AFailingLastWriteIsReportedNotLost) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
  EXPECT_THROW(TVelTextFileWriter::WriteAllText("small", "/dev/full"), EWriteError);
  EXPECT_THROW(TVelTextFileWriter::WriteAllText(Pattern(10000), "/dev/full"), EWriteError);
}

TEST(FileStream, ModeWordIsChecked) {
  TempDir dir;
  const std::string f = dir.file("m.txt");
  WriteFile(f, "abc");
  EXPECT_THROW(TVelFileStream(f, 0x0003), EFOpenError);             // access 3
  EXPECT_THROW(TVelFileStream(f, fmOpenRead | 0x50), EFOpenError);  // share above 0x40
  EXPECT_EQ(MessageOf<EFCreateError>([&] { TVelFileStream(f, fmCreate | fmExclusive); }),
            "Cannot create file \"" + f + "\". File exists");
  EXPECT_EQ(ReadFile(f), "abc");  // a refused create leaves the file alone
  {
    TVelFileStream created(dir.file("new.txt"), fmCreate | fmExclusive);
    EXPECT_EQ(created.FileName(), dir.file("new.txt"));
  }
  {
    TVelFileStream writeOnly(f, fmOpenWrite | fmShareDenyNone);
    char c;
    EXPECT_EQ(writeOnly.Read(&c, 1), -1);  // the system's error, not an exception
  }
  // Create truncates only once the share modes let it in.
  TVelFileStream holder(f, fmOpenRead | fmShareDenyWrite);
  EXPECT_THROW(TVelFileStream(f, fmCreate | fmShareDenyNone), EFCreateError);
  EXPECT_EQ(ReadFile(f), "abc");
}

TEST(BufferedStream, SmallWritesWaitInTheBufferUntilItIsFull) {
  TempDir dir;
  const std::string f = dir.file("buf.bin");
  const std::string data = Pattern(10000);
  {
    TVelFileStream s(f, fmCreate | fmShareDenyWrite);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(s.Write(data.data() + i * 2000, 2000), 2000);
    EXPECT_EQ(s.PendingWriteSize(), 8000);
    EXPECT_EQ(ReadFile(f).size(), 0u);
    EXPECT_EQ(s.Write(data.data() + 8000, 2000), 2000);
    EXPECT_EQ(s.PendingWriteSize(), 2000);
    EXPECT_EQ(ReadFile(f), data.substr(0, 8000));
    EXPECT_EQ(s.Size(), 10000);  // the logical size counts the pending bytes
    EXPECT_EQ(s.PendingWriteSize(), 0);
  }
  EXPECT_EQ(ReadFile(f), data);

  // A write of 8192 bytes or more goes straight out, after what is pending.
  {
    TVelFileStream s(f, fmCreate | fmShareDenyWrite);
    s.Write("head", 4);
    EXPECT_EQ(s.Write(data.data(), 8192), 8192);
    EXPECT_EQ(s.PendingWriteSize(), 0);
    EXPECT_EQ(ReadFile(f), "head" + data.substr(0, 8192));
  }
}

TEST(BufferedStream, ReadAheadIsGivenBackBeforeSeekAndWrite) {
  TempDir dir;
  const std::string f = dir.file("ra.bin");
  const std::string data = Pattern(20000);
  WriteFile(f, data);
  TVelFileStream s(f, fmOpenReadWrite | fmShareDenyWrite);
  char buf[10000];
  ASSERT_EQ(s.Read(buf, 10), 10);
  EXPECT_EQ(std::string(buf, 10), data.substr(0, 10));
  EXPECT_EQ(s.RemainingReadSize(), 8182);
  EXPECT_EQ(HandlePosition(s), 8192);
  EXPECT_EQ(s.Seek(0, TSeekOrigin::soCurrent), 10);
  EXPECT_EQ(HandlePosition(s), 10);
  EXPECT_EQ(s.RemainingReadSize(), 0);

  // A read larger than what is buffered: the buffered part, then the rest straight.
  ASSERT_EQ(s.Read(buf, 5000), 5000);  // refills 8192 from 10
  EXPECT_EQ(s.RemainingReadSize(), 3192);
  ASSERT_EQ(s.Read(buf, 5000), 5000);  // 3192 buffered + 1808 direct
  EXPECT_EQ(std::string(buf, 5000), data.substr(5010, 5000));
  EXPECT_EQ(s.RemainingReadSize(), 0);
  EXPECT_EQ(s.Position(), 10010);

  // 8192 or more with nothing buffered: straight from the descriptor, nothing kept.
  s.SetPosition(0);
  std::string big(9000, '\0');
  ASSERT_EQ(s.Read(big.data(), 9000), 9000);
  EXPECT_EQ(big, data.substr(0, 9000));
  EXPECT_EQ(s.RemainingReadSize(), 0);

  // A write after a small read lands right after the bytes read, not after the read-ahead.
  s.SetPosition(100);
  ASSERT_EQ(s.Read(buf, 10), 10);
  ASSERT_EQ(s.Write("XXXXX", 5), 5);
  EXPECT_EQ(s.Position(), 115);
  // A read after a write sees the written bytes.
  s.SetPosition(110);
  ASSERT_EQ(s.Read(buf, 6), 6);
  EXPECT_EQ(std::string(buf, 6), "XXXXX" + data.substr(115, 1));

  // Reading at the end gives 0; near the end, what is there.
  s.SetPosition(19995);
  EXPECT_EQ(s.Read(buf, 100), 5);
  EXPECT_EQ(s.Read(buf, 100), 0);
}

TEST(BufferedStream, ArrayFormsUseTheOffsetAndCheckTheRange) {
  TempDir dir;
  const std::string f = dir.file("arr.bin");
  WriteFile(f, "0123456789");
  TVelFileStream s(f, fmOpenReadWrite | fmShareDenyWrite);
  TBytes b(8, '.');
  EXPECT_EQ(s.Read(b, 2, 4), 4);
  EXPECT_EQ(std::string(b.begin(), b.end()), "..0123..");
  EXPECT_THROW(s.Read(b, 6, 4), EStreamError);
  EXPECT_THROW(s.Write(b, -1, 2), EStreamError);
  EXPECT_EQ(s.Write(b, 0, 3), 3);
  s.Flush();
  EXPECT_EQ(ReadFile(f),
            "0123..\x30"
            "789");
}

TEST(BufferedStream, CopyFromAndAsStringKeepTheStreamConsistent) {
  TempDir dir;
  const std::string src = dir.file("src.txt"), dst = dir.file("dst.txt");
  const std::string text = "l\xC3\xA4nger Text " + Pattern(12000);
  WriteFile(src, text);
  {
    TVelFileStream in(src, fmOpenRead | fmShareDenyNone);
    TVelFileStream out(dst, fmCreate | fmShareDenyWrite);
    in.SetPosition(5);
    EXPECT_EQ(out.CopyFrom(in, 0), static_cast<std::int64_t>(text.size()));  // 0: all of it
    EXPECT_EQ(out.PendingWriteSize(), 0);
    EXPECT_EQ(ReadFile(dst), text);
    out.SetPosition(3);
    EXPECT_EQ(out.AsString(), text);
    EXPECT_EQ(out.Position(), 3);
  }
  WriteFile(src, "ok\xE9");
  TVelFileStream in(src, fmOpenRead | fmShareDenyNone);
  in.SetPosition(1);
  EXPECT_THROW(in.AsString(), EEncodingError);
  EXPECT_EQ(in.Position(), 1);
}
