// End to end, Windows build only: what another program's open handle does.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "report.h"
#include "rom_maker.h"
#include "run_tool.h"
#include "test_files.h"

namespace {

// Another Windows program holding a file open, until the object goes.
class HeldOpen {
 public:
  HeldOpen(const char* mode, const std::string& path) {
    const char* helper = std::getenv("ROMTEST_HOLD_OPEN");
    int in[2], out[2];
    if (!helper || pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      const std::string wrapper = Wrapper();
      execlp(wrapper.c_str(), wrapper.c_str(), helper, mode, path.c_str(), nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    std::string said;
    char c;
    while (said.find("ready") == std::string::npos && read(out[0], &c, 1) == 1)
      said += c;
    ready_ = said.find("ready") != std::string::npos;
    close(out[0]);
  }
  ~HeldOpen() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool ready_ = false;
};

class WindowsTest : public TempDirTest {
 protected:
  void SetUp() override {
    if (!TestingWindowsBuild() || !std::getenv("ROMTEST_HOLD_OPEN")) {
      GTEST_SKIP() << "needs a Windows build and ROMTEST_HOLD_OPEN";
    }
    TempDirTest::SetUp();
  }
};

TEST_F(WindowsTest, InputOpenForWritingElsewhereCannotBeOpened) {
  WriteBytes(Path("in.rom"), PassingChips(1));
  HeldOpen writer("write", Path("in.rom"));
  ASSERT_TRUE(writer.ready());
  RunResult run = RunRomtest({Path("in.rom")});
  EXPECT_EQ(run.out, kBanner + CannotOpen(Path("in.rom")));
  EXPECT_EQ(run.status, 1);
}

TEST_F(WindowsTest, OutputOpenElsewhereIsLeftAsItWas) {
  const Bytes old(10, 'x');
  WriteBytes(Path("in.rom"), UnpackedForm(PassingChips(1)));
  WriteBytes(Path("out.rom"), old);
  {
    HeldOpen reader("read", Path("out.rom"));
    ASSERT_TRUE(reader.ready());
    RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")});
    EXPECT_EQ(run.out, Passed(false, 1) + CannotWrite(Path("out.rom")));
    EXPECT_EQ(run.status, 1);
  }
  EXPECT_EQ(ReadBytes(Path("out.rom")), old);
  EXPECT_FALSE(Exists(Path(".out.rom.new0")));  // no temporary file left
}

}  // namespace
