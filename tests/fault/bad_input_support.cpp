// The shared machinery of the hostile-input suites; see bad_input_support.h.
#include "bad_input_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <random>

#include "output_file.h"
#include "vorlin/vorlin.h"


// A small picture: width x height at a depth, colours_used entries (or the
// depth's default), pixel offset where build_bmp puts it unless given.
Bytes picture(uint16_t bits, int32_t width, int32_t height, uint32_t colors_used,
              uint32_t pixel_offset) {
  BmpFields f;
  f.bits_per_pixel = bits;
  f.width = width;
  f.height = height;
  f.colors_used = colors_used;
  f.pixel_data_offset = pixel_offset;
  size_t entries = bits > 8 ? 0 : colors_used != 0 ? colors_used : bits == 2 ? 4 : 256;
  // A huge colours-used claim comes with an ordinary palette in the file.
  if (entries > 1024) entries = 1024;
  int32_t rows = height > 0 && height < 1000 ? height : 1;
  int32_t columns = width > 0 && width < 1000 ? width : 1;
  return build_bmp(f, random_bytes(entries * 4, bits + 11),
                   random_bytes(test_row_size(columns, bits) * static_cast<size_t>(rows), bits));
}

// An 8-bit 4 x 2 picture with a short information header as OS/2 tools
// write it: 12 bytes (16-bit width and height) with 3-byte palette entries,
// or 16 bytes (32-bit width and height) with 4-byte entries. Palette entry 0
// is black, so a reader that took 40 header bytes would see no compression.
Bytes short_header_picture(uint32_t header_size) {
  const size_t entry = header_size == 12 ? 3 : 4;
  const uint32_t offset = static_cast<uint32_t>(14 + header_size + 256 * entry);
  Bytes b = {'B', 'M'};
  auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  put(offset + 8, 4);
  put(0, 4);
  put(offset, 4);
  put(header_size, 4);
  put(4, header_size == 12 ? 2 : 4);
  put(2, header_size == 12 ? 2 : 4);
  put(1, 2);
  put(8, 2);
  for (uint32_t i = 0; i < 256; ++i) put((255 - i) * 0x10101u, static_cast<int>(entry));
  Bytes pixels = random_bytes(8, 12);
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

// Rewrites bytes of an existing file in place: a sweep over 65536 values
// must not pay for truncating and rewriting the file each time.
void patch_file(const std::string& path, size_t offset, uint32_t value, size_t bytes) {
  FILE* file = fopen(path.c_str(), "r+b");
  ASSERT_NE(file, nullptr);
  uint8_t le[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                   static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  ASSERT_EQ(fseek(file, static_cast<long>(offset), SEEK_SET), 0);
  ASSERT_EQ(fwrite(le, 1, bytes, file), bytes);
  ASSERT_EQ(fclose(file), 0);
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// fork, with the child's standard output and error on the null device: a
// child that calls a module thousands of times keeps its lines to itself.
pid_t quiet_fork() {
  pid_t child = fork();
  if (child == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(quiet, 2);
  }
  return child;
}

Bytes with_header(uint16_t bits, uint32_t header_size, size_t gap) {
  BmpFields f;
  f.width = 5;
  f.height = 3;
  f.bits_per_pixel = bits;
  f.header_size = header_size;
  size_t entries = bits == 2 ? 4 : bits == 8 ? 256 : 0;
  return build_bmp(f, random_bytes(entries * 4, 3),
                   random_bytes(test_row_size(5, bits) * 3, bits), gap);
}

Bytes cut_end(Bytes b, size_t bytes) {
  b.resize(b.size() - bytes);
  return b;
}

Bytes first_bytes(Bytes b, size_t bytes) {
  b.resize(bytes);
  return b;
}

void BadInput::SetUp() { ASSERT_EQ(mkdir(subdir.c_str(), 0700), 0); }

void BadInput::TearDown() {
  printf("%s: %ld bad inputs tried\n",
         ::testing::UnitTest::GetInstance()->current_test_info()->name(), cases);
  RecordProperty("bad_inputs", static_cast<int>(cases));
}

std::string BadInput::place(const std::string& kind) const {
  if (kind == "file") return output;
  if (kind == "full") return "/dev/full";
  if (kind == "dir") return subdir;
  if (kind == "missing") return missing;
  if (kind == "same") return input;
  return kind;
}

std::string BadInput::fill(const std::string& text, const std::string& in,
                           const std::string& out) const {
  return replace_all(replace_all(text, "{in}", in), "{out}", out);
}

ExportCall RoutedBadInput::resize(const std::string& in, const std::string& out, int32_t width,
                                  int32_t height) {
  return call_resize(GetParam(), in, out, width, height);
}

ExportCall RoutedBadInput::erode(const std::string& in, const std::string& out, int32_t passes) {
  return call_erode(GetParam(), in, out, passes);
}

ExportCall RoutedBadInput::probe(const std::string& in, int32_t query) {
  return call_probe(GetParam(), in, query);
}

// ------------------------------------- pipes, and reads a signal interrupts

namespace {
// How the input reaches a module: as a regular file; through a FIFO fed as
// fast as it is read; or through a FIFO fed a few bytes at a time while a
// timer signal interrupts the reads that wait for them. Or the output leaves
// through a FIFO drained slowly while the timer interrupts the writes.
enum class Feed { kFile, kFifo, kFifoInterrupted, kFifoOutInterrupted };
}  // namespace

void RoutedBadInput::check_pipes(const std::vector<PipeRow>& rows) {
  struct Outcome {
    ExportCall call;
    bool output_exists;
    Bytes output;
  };
  long signals = 0;
  // The output FIFO takes a result larger than a pipe holds, so the writes
  // wait for the slow reader and the timer interrupts them.
  auto run = [&](const PipeRow& row, Feed feed, bool large) {
    remove(output.c_str());
    FifoFeed fifo;
    if (feed == Feed::kFile) {
      write_file(input, row.file);
    } else if (feed == Feed::kFifo) {
      start_fifo_feed(&fifo, input, row.file, row.file.size(), 0);
    } else if (feed == Feed::kFifoInterrupted) {
      // About 40 chunks, each after a pause of several timer periods.
      start_fifo_feed(&fifo, input, row.file, std::max<size_t>(61, row.file.size() / 40), 300);
      start_interrupting(100);
    }
    FifoFeed drain;
    if (feed == Feed::kFifoOutInterrupted) {
      write_file(input, row.file);
      start_fifo_drain(&drain, output, 4096, 300);
      start_interrupting(100);
    }
    Outcome o;
    o.call = row.module == 'r'   ? resize(input, output, large ? 500 : 4, large ? 300 : 3)
             : row.module == 'e' ? erode(input, output, 1)
                                 : probe(input, VORLIN_QUERY_WIDTH);
    if (feed == Feed::kFifoInterrupted || feed == Feed::kFifoOutInterrupted) {
      signals += stop_interrupting();
    }
    if (feed == Feed::kFifo || feed == Feed::kFifoInterrupted) finish_fifo_feed(&fifo);
    if (feed == Feed::kFifoOutInterrupted) {
      o.output = finish_fifo_drain(&drain);
      // What came through, as the file would hold it; nothing if no output.
      o.output_exists = !o.output.empty();
      return o;
    }
    o.output_exists = file_exists(output);
    if (o.output_exists) o.output = read_file(output);
    return o;
  };
  for (const PipeRow& row : rows) {
    for (Feed feed : {Feed::kFifo, Feed::kFifoInterrupted, Feed::kFifoOutInterrupted}) {
      if (feed == Feed::kFifoOutInterrupted && row.module == 'p') continue;  // writes nothing
      ++cases;
      SCOPED_TRACE(std::string(row.name) +
                   (feed == Feed::kFifo              ? ", FIFO"
                    : feed == Feed::kFifoInterrupted ? ", FIFO with interrupted reads"
                                                     : ", output to a FIFO, interrupted writes"));
      const bool large = feed == Feed::kFifoOutInterrupted;
      Outcome file = run(row, Feed::kFile, large);
      Outcome pipe = run(row, feed, large);
      if (!row.behind || large) {
        EXPECT_EQ(pipe.call.status, file.call.status);
        EXPECT_EQ(pipe.call.out, file.call.out);
        EXPECT_EQ(pipe.call.err, file.call.err);
        EXPECT_EQ(pipe.output_exists, file.output_exists);
        EXPECT_TRUE(pipe.output == file.output) << "the outputs differ";
      } else if (row.module == 'r') {
        // Missing bytes read as 0: the headers and palette as from the
        // file, every pixel 0.
        Bytes zeroed = file.output;
        ASSERT_GE(zeroed.size(), 54u);
        std::fill(zeroed.begin() + get_le32(zeroed, 10), zeroed.end(), 0);
        EXPECT_EQ(pipe.call.status, VORLIN_RESIZE_OK);
        EXPECT_EQ(pipe.call.err, "");
        EXPECT_TRUE(pipe.output == zeroed) << "the pixels are not all 0";
      } else {
        // The first stored row is the first one not read.
        const uint32_t bits = get_le16(row.file, 28);
        const int32_t top = static_cast<int32_t>(get_le32(row.file, 22)) - 1;
        const size_t stride = test_row_size(static_cast<int32_t>(get_le32(row.file, 18)),
                                            static_cast<int>(bits));
        std::string want = bits == 24 ? "Error: Cannot read 24-bit pixel row " +
                                            std::to_string(top) + "\n"
                                      : "Error: Cannot read 8-bit pixel row " +
                                            std::to_string(top) + " (expected " +
                                            std::to_string(stride) + " bytes)\n";
        EXPECT_EQ(pipe.call.status, VORLIN_ERODE_FAILED);
        EXPECT_TRUE(ends_with(pipe.call.out, want)) << pipe.call.out;
        EXPECT_FALSE(pipe.output_exists);
      }
    }
  }
  // The slow feeds kept the reads waiting while the timer ran.
  EXPECT_GT(signals, static_cast<long>(rows.size()));
}

// ------------------------------------------- an output that names the input

void RoutedBadInput::check_in_place(const std::vector<InPlaceRow>& rows,
                                    const std::vector<KeepRow>& keeps) {
  // The output names the input by the same path, another spelling of it, a
  // link to it, or a second hard link. A file size limit stands in for a
  // disk that fills up: the result (4854 bytes resized, 2678 eroded) does
  // not fit under it, the messages do.
  ASSERT_EQ(symlink(input.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink("../in.bmp", far_link.c_str()), 0);
  auto out_of = [&](InPlaceOut out) {
    switch (out) {
      case InPlaceOut::kSame: return input;
      case InPlaceOut::kOtherSpelling: return dir + "/./a-directory/../in.bmp";
      case InPlaceOut::kLink: return link;
      case InPlaceOut::kFarLink: return far_link;
      default: return hard;
    }
  };
  auto row_picture = [](char module) {
    return module == 'r' ? picture(24, 4, 4) : picture(8, 40, 40);
  };
  std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
  for (const InPlaceRow& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    const Bytes original = row_picture(row.module);
    write_file(input, original);
    ASSERT_EQ(chmod(input.c_str(), 0640), 0);
    remove(output.c_str());
    ExportCall separate = row.module == 'r' ? resize(input, output, 40, 40) : erode(input, output, 1);
    const int32_t ok = row.module == 'r' ? int32_t{VORLIN_RESIZE_OK} : int32_t{VORLIN_ERODE_OK};
    ASSERT_EQ(separate.status, ok);
    const Bytes result = read_file(output);
    ASSERT_EQ(remove(output.c_str()), 0);
    remove(hard.c_str());
    if (row.out == InPlaceOut::kHardLink) {
      ASSERT_EQ(::link(input.c_str(), hard.c_str()), 0);
    }
    const std::vector<std::string> names = list_dir(dir);
    const std::string out = out_of(row.out);

    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    if (row.limit > 0) {
      struct rlimit limited = saved;
      limited.rlim_cur = static_cast<rlim_t>(row.limit);
      setrlimit(RLIMIT_FSIZE, &limited);
    }
    ExportCall run = row.module == 'r' ? resize(input, out, 40, 40) : erode(input, out, 1);
    setrlimit(RLIMIT_FSIZE, &saved);

    // Nothing is left beside the input either way.
    EXPECT_EQ(list_dir(dir), names);
    EXPECT_EQ(list_dir(subdir), std::vector<std::string>{"far.bmp"});
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
    if (row.limit > 0) {
      EXPECT_EQ(read_file(input), original) << "the input changed";
      if (row.module == 'r') {
        EXPECT_EQ(run.status, VORLIN_RESIZE_SAVE_FAILED);
        EXPECT_EQ(run.err, "Error: Could not write output file '" + out + "'\n");
      } else {
        EXPECT_EQ(run.status, VORLIN_ERODE_FAILED);
        EXPECT_TRUE(ends_with(run.out, "Error: Cannot write output file '" + out + "'\n"))
            << run.out;
      }
    } else if (row.out == InPlaceOut::kHardLink) {
      // The result takes the output's name; the input's name keeps the picture.
      EXPECT_EQ(run.status, VORLIN_RESIZE_OK);
      EXPECT_EQ(read_file(hard), result);
      EXPECT_EQ(read_file(input), original);
    } else {
      EXPECT_EQ(run.status, ok);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(read_file(input), result) << "the input was not replaced by the result";
      ASSERT_EQ(stat(input.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0640u) << "the permissions changed";
    }
  }
  std::signal(SIGXFSZ, SIG_DFL);
  remove(hard.c_str());

  // What the file is stays: its owner and group (which root may set), its
  // mode with the set-id bits, and an extended attribute.
  if (geteuid() == 0) {
    for (const KeepRow& keep : keeps) {
      ++cases;
      SCOPED_TRACE(std::string("keeps ") + keep.module + " mode " + std::to_string(keep.mode));
      write_file(input, row_picture(keep.module));
      ASSERT_EQ(chown(input.c_str(), keep.uid, keep.gid), 0);
      ASSERT_EQ(chmod(input.c_str(), keep.mode), 0);
      ASSERT_EQ(setxattr(input.c_str(), "user.vorlin", "kept", 4, 0), 0);
      struct stat before;
      ASSERT_EQ(stat(input.c_str(), &before), 0);
      ExportCall run = keep.module == 'r' ? resize(input, input, 40, 40) : erode(input, input, 1);
      EXPECT_EQ(run.status, keep.module == 'r' ? int32_t{VORLIN_RESIZE_OK} : int32_t{VORLIN_ERODE_OK});
      struct stat st;
      ASSERT_EQ(stat(input.c_str(), &st), 0);
      EXPECT_NE(st.st_ino, before.st_ino) << "not replaced";
      EXPECT_EQ(st.st_uid, keep.uid);
      EXPECT_EQ(st.st_gid, keep.gid);
      EXPECT_EQ(st.st_mode & 07777, keep.mode);
      char value[16] = {};
      EXPECT_EQ(getxattr(input.c_str(), "user.vorlin", value, sizeof value), 4);
      EXPECT_STREQ(value, "kept");
    }
  }
}

// A hostile user who owns the picture swaps it with a link to a file of the
// victim's, as fast as it can, while the victim resizes or erodes it in
// place: the victim's file must never change, whatever the timing.
void RoutedBadInput::check_link_swap_race(const std::vector<RaceRow>& rows) {
#if !defined(__linux__)
  GTEST_SKIP() << "needs Linux's exchanging rename";
#else
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to act as two unprivileged users";
  }
  const uid_t attacker = 64101;
  const uid_t victim = 64102;
  const std::string shared = dir + "/shared";  // the attacker's, open to all
  const std::string home = dir + "/home";      // the victim's
  const std::string notes = home + "/notes.txt";
  const std::string picture_path = shared + "/x.bmp";
  const std::string swap = shared + "/swap";
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(chown(shared.c_str(), attacker, attacker), 0);
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(chown(home.c_str(), victim, victim), 0);
  const Bytes secret = {'m', 'i', 'n', 'e', '\n'};
#if defined(VORLIN_EMULATED_TEST_RUN)
  int rounds = 300;
#else
  int rounds = 3000;
#endif
  // The race is the output file's, which no kernel set takes part in: the
  // module route takes the full rounds, each set route a tenth of them.
  if (GetParam().module_path == nullptr) rounds /= 10;
  if (GetParam().module_path != nullptr) (void)module_export(GetParam());  // loaded before the fork
  for (const RaceRow& row : rows) {
    const uid_t as = row.unprivileged ? victim : 0;  // root may write anything
    ++cases;
    SCOPED_TRACE(row.name);
    write_file(notes, secret);
    ASSERT_EQ(chown(notes.c_str(), victim, victim), 0);
    ASSERT_EQ(chmod(notes.c_str(), 0444), 0);
    remove(picture_path.c_str());
    remove(swap.c_str());
    write_file(picture_path, picture(24, 8, 8));
    ASSERT_EQ(chown(picture_path.c_str(), attacker, attacker), 0);
    ASSERT_EQ(chmod(picture_path.c_str(), 0666), 0);
    ASSERT_EQ(symlink(notes.c_str(), swap.c_str()), 0);
    ASSERT_EQ(lchown(swap.c_str(), attacker, attacker), 0);

    pid_t swapper = fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
      if (setgid(attacker) != 0 || setuid(attacker) != 0) _exit(2);
      for (;;) {
        syscall(SYS_renameat2, AT_FDCWD, picture_path.c_str(), AT_FDCWD, swap.c_str(),
                2 /* RENAME_EXCHANGE */);
      }
    }
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    pid_t caller = quiet_fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
      if (as != 0 && (setgid(as) != 0 || setuid(as) != 0)) _exit(2);
      std::wstring wide = widen(picture_path);
      int32_t done = 0;
      for (int i = 0; i < rounds; ++i) {
        int32_t status = row.module == 'r' ? run_resize(GetParam(), wide.c_str(), wide.c_str(), 8, 8)
                                           : run_erode(GetParam(), wide.c_str(), wide.c_str(), 1);
        done += status == 999 ? 1 : 0;
      }
      ssize_t sent = write(pipe_ends[1], &done, sizeof done);
      _exit(sent == sizeof done ? 0 : 3);
    }
    close(pipe_ends[1]);
    int32_t replaced = -1;
    ssize_t got = read(pipe_ends[0], &replaced, sizeof replaced);
    close(pipe_ends[0]);
    int status = 0;
    waitpid(caller, &status, 0);
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    EXPECT_EQ(got, static_cast<ssize_t>(sizeof replaced));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st;
    ASSERT_EQ(lstat(notes.c_str(), &st), 0);
    EXPECT_TRUE(read_file(notes) == secret) << "the victim's file was replaced";
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0444 && st.st_uid == victim)
        << "the victim's file changed";
    EXPECT_EQ(list_dir(home), std::vector<std::string>{"notes.txt"});
    // Without the swapper, the same call by root (who may carry the
    // attacker's ownership over) runs in place: the refusals above were the
    // race's doing, not the setup's. The unprivileged victim's calls cannot
    // carry it over, so they are all refused.
    struct stat now;
    ASSERT_EQ(lstat(picture_path.c_str(), &now), 0);
    if (S_ISLNK(now.st_mode)) {
      ASSERT_EQ(syscall(SYS_renameat2, AT_FDCWD, picture_path.c_str(), AT_FDCWD, swap.c_str(), 2),
                0);
    }
    ExportCall calm = row.module == 'r' ? resize(picture_path, picture_path, 8, 8)
                                  : erode(picture_path, picture_path, 1);
    EXPECT_EQ(calm.status, 999) << calm.out << calm.err;
    if (as != 0) {
      EXPECT_EQ(replaced, 0);
    }
    printf("%s: %d rounds, %d replaced the picture\n", row.name, rounds, replaced);
  }
#endif
}

// ------------------------------------------------ streams flushed on return

void RoutedBadInput::check_lines_out_on_return(const std::vector<LinesRow>& rows) {
  // A host whose streams are fully buffered (a pipe, a file) sees every line
  // of a call in the file before it prints anything of its own.
  write_file(input, picture(8, 4, 4));
  for (const LinesRow& row : rows) {
    ++cases;
    SCOPED_TRACE(row.name);
    begin_capture();
    // Standard error is unbuffered: it takes a buffer of its own.
    static char err_buffer[BUFSIZ];
    setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    setvbuf(stderr, err_buffer, _IOFBF, sizeof err_buffer);
    row.call();
    Captured seen = peek_capture();
    setvbuf(stderr, nullptr, _IONBF, 0);
    Captured all = end_capture();
    EXPECT_FALSE(all.out.empty() && all.err.empty());
    EXPECT_EQ(seen.out, all.out);
    EXPECT_EQ(seen.err, all.err);
  }
}
