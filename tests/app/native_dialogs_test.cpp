#include "app/native_dialogs.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "platform/files.h"
#include "platform/process.h"
#include "support/rpc_test_support.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
namespace ui = platform::ui;
using nlohmann::json;

namespace {

class NativeDialogTest : public RpcTest {
 protected:
  void TearDown() override {
    platform::SetDialogLayerForTesting({});
    CurrentMainWindowHooks().applyDeveloperMode = nullptr;
    RpcTest::TearDown();
  }
  // One dialog request through the rows; its one reply.
  std::string Prompt(const std::string& type, const json& payload) {
    RpcRouteTable routes;
    RegisterNativeDialogRows(routes);
    json id = 9;
    RpcOutletPtr sender = dialogOutlet.Make();
    (*routes.Find(type))(RpcRequest{id, type, payload, sender});
    std::vector<std::string> got = dialogOutlet.WaitFor(1);
    return got.size() == 1 ? got[0] : "<" + std::to_string(got.size()) + " replies>";
  }
  CapturingOutlet dialogOutlet;
  testsupport::TempFolder folder{"qv-dialog-"};
};

TEST_F(NativeDialogTest, SaveDialogChoicesAndTheCopy) {
  const std::string source = folder / "export.tmp";
  std::ofstream(source) << "exported bytes";
  struct Case {
    std::string suggested;
    platform::DialogResult chosen;  // what the user did
    std::string source;
    std::string reply;
  } cases[] = {
      {"clip.mp4", {false, true, "", ""}, source, R"({"data":{"cancelled":true,"success":false},"id":9})"},
      {"clip.mp4", {true, false, folder / "out", ""}, source,
       json({{"id", 9}, {"data", {{"success", true}, {"path", folder / "out.mp4"}}}}).dump()},
      {"clip.mp4", {true, false, folder / "out.mov", ""}, source,
       json({{"id", 9}, {"data", {{"success", true}, {"path", folder / "out.mov"}}}}).dump()},
      // No default extension without a "." followed by something.
      {"clip", {true, false, folder / "plain", ""}, source,
       json({{"id", 9}, {"data", {{"success", true}, {"path", folder / "plain"}}}}).dump()},
      {"clip.", {true, false, folder / "dotted", ""}, source,
       json({{"id", 9}, {"data", {{"success", true}, {"path", folder / "dotted"}}}}).dump()},
      {"a.b", {true, false, folder / "nocopy.b", ""}, "",
       json({{"id", 9}, {"data", {{"success", true}, {"path", folder / "nocopy.b"}}}}).dump()},
      {"x.txt", {false, false, "", "Show() failed"}, source, R"({"error":"Show() failed","id":9})"},
  };
  for (const Case& c : cases) {
    std::string asked;
    platform::SetDialogLayerForTesting({[&](const std::string& name) {
                                          asked = name;
                                          return c.chosen;
                                        },
                                        nullptr, nullptr});
    EXPECT_EQ(Prompt("promptSaveFile", {{"suggestedName", c.suggested}, {"path", c.source}}), c.reply) << c.suggested;
    EXPECT_EQ(asked, c.suggested);
    json reply = json::parse(c.reply);
    if (reply.contains("data") && reply["data"]["success"] == true && !c.source.empty()) {
      std::string copied;
      ASSERT_TRUE(platform::ReadFile(reply["data"]["path"], &copied));
      EXPECT_EQ(copied, "exported bytes");
    }
  }
  // The page's file has vanished: an error, never success.
  platform::SetDialogLayerForTesting({[&](const std::string&) { return platform::DialogResult{true, false, folder / "o.mp4", ""}; },
                                      nullptr, nullptr});
  json reply = json::parse(Prompt("promptSaveFile", {{"suggestedName", "o.mp4"}, {"path", folder / "gone.tmp"}}));
  ASSERT_TRUE(reply.contains("error")) << reply.dump();
  EXPECT_EQ(reply["error"].get<std::string>().rfind("CopyFileW failed, code=", 0), 0u) << reply.dump();
}

TEST_F(NativeDialogTest, FolderPickerAndRequestChecks) {
  platform::DialogResult answer{true, false, "/home/u/Videos", ""};
  platform::SetDialogLayerForTesting({nullptr, [&] { return answer; }, nullptr});
  EXPECT_EQ(Prompt("promptOpenDirectory", json::object()), R"({"data":{"path":"/home/u/Videos","success":true},"id":9})");
  answer = {false, true, "", ""};
  EXPECT_EQ(Prompt("promptOpenDirectory", json::object()), R"({"data":{"cancelled":true,"success":false},"id":9})");
  answer = {false, false, "", "GetDisplayName() failed"};
  EXPECT_EQ(Prompt("promptOpenDirectory", json::object()), R"({"error":"GetDisplayName() failed","id":9})");

  EXPECT_EQ(Prompt("promptSaveFile", {{"path", "/tmp/x"}}), R"({"error":"suggestedName is required","id":9})");
  EXPECT_EQ(Prompt("promptSaveFile", {{"suggestedName", ""}}), R"({"error":"suggestedName is required","id":9})");
  EXPECT_EQ(Prompt("promptSaveFile", {{"suggestedName", 5}}), R"({"error":"invalid parameter type: suggestedName","id":9})");
  EXPECT_EQ(Prompt("promptOpenDirectory", {{"path", false}}), R"({"error":"invalid parameter type: path","id":9})");
}

// The consent box through the host's own path: the window message, the worker, the answer
// applied on the UI thread.
TEST_F(NativeDialogTest, DeveloperModeConsent) {
  for (bool yes : {true, false}) {
    std::string caption, text;
    platform::SetDialogLayerForTesting({nullptr, nullptr, [&](const std::string& c, const std::string& t) {
                                          caption = c;
                                          text = t;
                                          return yes;
                                        }});
    std::vector<std::string> titles;
    CurrentMainWindowHooks().confirmDeveloperMode = TakeDeveloperModeRequests(ConfirmDeveloperMode);
    CurrentMainWindowHooks().applyDeveloperMode = [&](bool enabled) {
      dispatch->SetDeveloperMode(enabled);
      dispatch->SetDeveloperModeTitle(enabled);
      titles.push_back(ui::GetWindowTitle(mainWindow));
      ui::PostQuitMessage(0);
    };
    if (!ui::IsWindow(mainWindow)) {  // the previous round's loop reset the window records
      mainWindow = ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 800, 600, MainWndProc);
      Build({});
    }
    testing::internal::CaptureStdout();
    dispatch->HandleMessage(R"({"id":4,"type":"setPluginDeveloperMode","payload":{"enabled":true}})");
    ui::RunMessageLoop();
    std::vector<std::string> replies = outlet.WaitFor(1);
    std::string log = testing::internal::GetCapturedStdout();
    ui::ResetForTesting();

    EXPECT_EQ(caption, "Quorvane \xE2\x80\x94 Plugin developer mode");
    EXPECT_EQ(text,
              "Plugin developer mode lets the page run plugin code it supplies and decoders from any folder.\n\n"
              "Only enable this while developing a plugin. It switches off when the app restarts.\n\n"
              "插件开发者模式允许页面运行其提供的插件代码。仅在开发插件时开启，重启后自动关闭。");
    EXPECT_EQ(dispatch->developerMode(), yes);
    EXPECT_EQ(titles, std::vector<std::string>{yes ? "Quorvane \xE2\x80\x94 PLUGIN DEVELOPER MODE" : "Quorvane"});
    EXPECT_NE(log.find(yes ? "[plugin] developer mode ON (native confirmation)\n"
                           : "[plugin] developer mode declined (native confirmation)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(replies, std::vector<std::string>{yes ? R"({"data":{"confirmed":true,"enabled":true},"id":4})"
                                                    : R"({"data":{"confirmed":false,"enabled":false},"id":4})"});
  }
}

// Without a display the real layer shows nothing: dialogs are cancelled, the box declines.
TEST_F(NativeDialogTest, WithoutADisplayDialogsCancelAndSayWhy) {
  testsupport::ScopedEnv display("DISPLAY", std::nullopt), wayland("WAYLAND_DISPLAY", std::nullopt);
  testing::internal::CaptureStdout();
  platform::DialogResult save = platform::ShowSaveDialog("a.txt");
  platform::DialogResult pick = platform::ShowFolderDialog();
  bool consent = platform::ShowOkCancelWarning("c", "t");
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(save.cancelled && !save.ok);
  EXPECT_TRUE(pick.cancelled && !pick.ok);
  EXPECT_FALSE(consent);
  EXPECT_EQ(log,
            "[dialogs] no display: save dialog reported as cancelled\n"
            "[dialogs] no display: folder picker reported as cancelled\n"
            "[dialogs] no display: OK/Cancel box reported as cancelled\n");
  // A display without zenity on PATH says so instead.
  testsupport::ScopedEnv fake("DISPLAY", ":99"), path("PATH", folder.str());
  testing::internal::CaptureStdout();
  EXPECT_TRUE(platform::ShowFolderDialog().cancelled);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[dialogs] zenity not found: folder picker reported as cancelled\n");
}

// What zenity's answers become, through a stand-in zenity on PATH that prints the chosen text,
// ends the chosen way and keeps its arguments: the consent box is only ever yes for OK, and
// closing or killing a dialog is a cancel, never a choice.
TEST_F(NativeDialogTest, ZenityAnswersBecomeTheDialogResults) {
  const std::string bin = folder / "bin";
  fs::create_directories(bin);
  {
    std::ofstream script(bin + "/zenity");
    script << "#!/bin/sh\n"
              "printf '%s\\n' \"$@\" > \"$QV_FAKE_ZENITY/args\"\n"
              "cat \"$QV_FAKE_ZENITY/out\"\n"
              "code=$(cat \"$QV_FAKE_ZENITY/code\")\n"
              "[ \"$code\" = killed ] && kill -TERM $$\n"
              "exit \"$code\"\n";
  }
  fs::permissions(bin + "/zenity", fs::perms::owner_all);
  testsupport::ScopedEnv display("DISPLAY", ":99"), path("PATH", bin + ":/usr/bin:/bin"),
      fake("QV_FAKE_ZENITY", folder.str());
  auto answer = [&](const std::string& code, const std::string& out) {
    std::ofstream(folder / "code") << code;
    std::ofstream(folder / "out") << out;
  };
  auto args = [&] {
    std::string text;
    platform::ReadFile(folder / "args", &text);
    return text;
  };

  struct Consent {
    std::string code;
    bool yes;
  } consents[] = {{"0", true}, {"1", false}, {"killed", false}, {"5", false}, {"255", false}};
  for (const Consent& c : consents) {
    answer(c.code, "");
    EXPECT_EQ(platform::ShowOkCancelWarning("Caption", "<b>text</b>"), c.yes) << c.code;
  }
  EXPECT_EQ(args(), "--question\n--no-markup\n--icon-name=dialog-warning\n--default-cancel\n--ok-label=OK\n"
                    "--cancel-label=Cancel\n--title=Caption\n--text=<b>text</b>\n");

  struct Pick {
    std::string code, out;
    platform::DialogResult result;
  } picks[] = {
      {"0", "/home/u/Videos\n", {true, false, "/home/u/Videos", ""}},
      {"1", "", {false, true, "", ""}},       // Cancel or the window closed
      {"killed", "", {false, true, "", ""}},  // ended from outside
      {"0", "", {false, false, "", "GetDisplayName() failed"}},
      {"0", "/a\n/b\n", {false, false, "", "GetDisplayName() failed"}},
      {"5", "", {false, false, "", "Show() failed"}},
  };
  for (const Pick& p : picks) {
    answer(p.code, p.out);
    platform::DialogResult got = platform::ShowFolderDialog();
    EXPECT_EQ(std::make_tuple(got.ok, got.cancelled, got.path, got.error),
              std::make_tuple(p.result.ok, p.result.cancelled, p.result.path, p.result.error))
        << p.code << " " << p.out;
  }
  EXPECT_EQ(args(), "--file-selection\n--directory\n");
  answer("0", "/home/u/clip.mp4\n");
  EXPECT_EQ(platform::ShowSaveDialog("clip.mp4").path, "/home/u/clip.mp4");
  EXPECT_EQ(args(), "--file-selection\n--save\n--confirm-overwrite\n--filename=clip.mp4\n");
}

// A process's parent and name from /proc, or false when it is gone.
bool ReadParent(pid_t pid, pid_t* parent, std::string* name) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t open = line.find('('), close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  *name = line.substr(open + 1, close - open - 1);
  char state;
  return sscanf(line.c_str() + close + 1, " %c %d", &state, parent) == 2;
}

// The pid of a zenity this process started (the child of the keeper that holds its run), or 0.
pid_t FindZenityChild() {
  DIR* dir = opendir("/proc");
  if (!dir) return 0;
  pid_t found = 0;
  while (dirent* e = readdir(dir)) {
    pid_t pid = atoi(e->d_name), parent = 0, grandparent = 0;
    std::string name, parentName;
    if (pid <= 0 || !ReadParent(pid, &parent, &name) || name != "zenity") continue;
    if (ReadParent(parent, &grandparent, &parentName) && grandparent == getpid()) found = pid;
  }
  closedir(dir);
  return found;
}

// The real zenity on a virtual display: the picker comes up and the test closes it.
TEST_F(NativeDialogTest, RealZenityOnAVirtualDisplay) {
  if (access("/usr/bin/zenity", X_OK) != 0 || access("/usr/bin/Xvfb", X_OK) != 0) {
    GTEST_SKIP() << "zenity or Xvfb is not installed";
  }
  platform::process::SpawnOptions o;
  o.argv = {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"};
  o.env = platform::process::CurrentEnvironment();
  o.stdoutMode = platform::process::Stream::Pipe;
  o.stderrMode = platform::process::Stream::Null;
  auto xvfb = platform::process::Spawn(o);
  ASSERT_TRUE(xvfb.child);
  std::string number;
  char c;
  while (read(xvfb.child->stdoutRead().get(), &c, 1) == 1 && c != '\n') number += c;
  ASSERT_FALSE(number.empty()) << "Xvfb gave no display";
  testsupport::ScopedEnv display("DISPLAY", ":" + number);

  platform::DialogResult result;
  std::atomic<bool> done{false};
  std::thread shower([&] {
    result = platform::ShowFolderDialog();
    done = true;
  });
  // The dialog is up once its process is. Nothing signals that from outside the process, so the
  // test looks for it a bounded number of times, then closes it.
  pid_t zenity = 0;
  for (int i = 0; i < 200 && zenity == 0 && !done; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    zenity = FindZenityChild();
  }
  EXPECT_GT(zenity, 0);
  EXPECT_FALSE(done.load());  // still waiting for the user
  if (zenity > 0) kill(zenity, SIGTERM);
  shower.join();
  EXPECT_TRUE(result.cancelled);
  EXPECT_FALSE(result.ok);
}

}  // namespace
