#include "tests/window/window_fixture.h"

namespace murk::test {
namespace {

namespace fs = std::filesystem;
using namespace murk::setup;

constexpr wchar_t kStopQuestion[] = L"Setup is still running. Stop it?";

std::string LastLogLine(const fs::path& log) {
    std::string bytes = ReadBytes(log);
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r'))
        bytes.pop_back();
    const size_t start = bytes.rfind('\n');
    return start == std::string::npos ? bytes : bytes.substr(start + 1);
}

class CloseTest : public WindowTest {
  protected:
    void StartJob() {
        Open();
        WriteBytes(temp / L"disc.iso", "ISO");
        SetItemText(kSourceBox, (temp / L"disc.iso").native());
        SetItemText(kFolderBox, (temp / L"install").native());
        Click(kMainButton);
        ASSERT_TRUE(s_busy);
    }
    fs::path Log() const { return temp / L"install" / L"setup.log"; }
};

TEST_F(CloseTest, NoKeepsTheJobRunningYesStopsItAndEndsTheProgram) {
    HoldJobUntilCancelled();
    StartJob();
    {
        BoxAnswerer answerer({{IDNO, L""}});
        PostMessageW(s_window, WM_CLOSE, 0, 0);
        ASSERT_TRUE(answerer.Finished());
        const auto seen = answerer.Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].text, kStopQuestion);
        EXPECT_TRUE(seen[0].hasYesNo);
        EXPECT_TRUE(seen[0].fromWindowThread);
    }
    Pump();
    EXPECT_FALSE(WindowGone());
    EXPECT_TRUE(s_busy);
    EXPECT_FALSE(s_cancel);
    EXPECT_EQ(ItemText(kMainButton), L"Cancel");

    BoxAnswerer answerer({{IDYES, kStopQuestion}});
    PostMessageW(s_window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([this] { return WindowGone(); }));
    EXPECT_TRUE(QuitPosted());
    EXPECT_FALSE(s_worker.joinable()) << "the job's thread was waited for";
    EXPECT_EQ(LastLogLine(Log()), "Cancelled.");
}

// Esc asks as closing does, but Yes stops only the job; while idle it does nothing. In the
// details view too, where a multi-line edit would close its parent, and the focus comes back there.
TEST_F(CloseTest, EscAsksBeforeStoppingTheJobAndKeepsTheWindow) {
    HoldJobUntilCancelled();
    StartJob();
    Click(kDetailsButton);
    SetForegroundWindow(s_window);
    SetFocus(Item(kDetailsView));
    const auto escape = [this] { PostMessageW(Item(kDetailsView), WM_KEYDOWN, VK_ESCAPE, 0); };
    BoxAnswerer no({{IDNO, L""}});
    escape();
    ASSERT_TRUE(no.Finished());
    EXPECT_EQ(no.Seen().at(0).text, kStopQuestion);
    EXPECT_FALSE(s_cancel);
    EXPECT_EQ(GetFocus(), Item(kDetailsView));
    BoxAnswerer yes({{IDYES, L""}, {IDOK, L"Cancelled."}});
    escape();
    ASSERT_TRUE(yes.Finished());
    FakeSystem boxes(std::nullopt);  // records what idle Esc would ask
    escape();
    Pump();
    EXPECT_TRUE(boxes.questions().empty());
    EXPECT_FALSE(WindowGone());
}

std::optional<std::uint64_t> TooLittleSpace(const fs::path&) {
    return 2ull << 30;
}

TEST_F(CloseTest, ClosingWhileTheJobAsksAboutDiskSpaceDoesNotHang) {
    s_freeBytes = TooLittleSpace;
    StartJob();
    // The job's own question, shown from its thread and owned by the (now disabled) window.
    ASSERT_TRUE(
        PumpUntil([] { return FindDialog(kTitle, L"The drive has 2 GB free") != nullptr; }));
    BoxAnswerer answerer({{IDYES, kStopQuestion}});
    PostMessageW(s_window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([this] { return WindowGone(); }));
    EXPECT_EQ(answerer.Seen().size(), 1u);
    EXPECT_EQ(FindDialog(L""), nullptr) << "no question is left behind";
    EXPECT_EQ(LastLogLine(Log()), "Cancelled.") << "the closing window's answer is no refusal";
}

}  // namespace
}  // namespace murk::test
