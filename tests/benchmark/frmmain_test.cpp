// The main window driven as a user drives it: real widgets, a real echo
// server and real connections on loopback.
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include "GC/GarbageCollector.h"
#include "RozavUde/Dns.h"
#include "RozavUde/Tcp/TcpServer.h"
#include "benchmark/frmConfig.h"
#include "benchmark/frmMain.h"
#include "tests/benchmark/form_fixture.h"
#include "tests/support.h"
#include "tests/support_net.h"

using namespace Vcl;
using namespace std::chrono_literals;
using testing_support::MessageBoxCapture;
using testing_support::PumpUntil;

namespace {

std::string Text(TControl* c) { return c->GetCaption().ToUtf8(); }

class FrmMainTest : public testing_support::FormFixture {
protected:
    void SetUp() override {
        FormFixture::SetUp();
        port_ = testing_support::FreeLoopbackPort();
        ASSERT_GT(port_, 0);
        UseSettings(Config(port_, 1, 3));
    }
    static std::string Config(int port, int connections, int seconds, const char* extra = "") {
        return "[Config.Application]\nPort=" + std::to_string(port) + "\nNumberOfConnections=" +
               std::to_string(connections) + "\nTestDurationSec=" + std::to_string(seconds) +
               "\nTestPacketSize=65536\n" + extra;
    }
    static void Click(TButton* b) { static_cast<QAbstractButton*>(b->Widget())->click(); }
    // Whether a plain socket can take the port (nothing listens on it).
    static bool PortFree(int port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 1) == 0;
        ::close(fd);
        return ok;
    }
    // Waits for the end of a run: the button shows "&Test" again.
    static bool WaitForIdle(TfrmMain& w, std::chrono::milliseconds deadline = 30s) {
        return PumpUntil([&] { return Text(w.buttonTest) == "&Test" && w.buttonTest->GetEnabled(); }, deadline);
    }
    int port_ = 0;
};

} // namespace

TEST_F(FrmMainTest, TheWindowAsDesigned) {
    TfrmMain w(nullptr);
    EXPECT_EQ(Text(&w), "Pelorin v1.1.0");
    EXPECT_EQ(w.GetClientWidth(), 339);
    EXPECT_EQ(w.GetClientHeight(), 270);
    EXPECT_EQ(Text(w.buttonListen), "&Listen");
    EXPECT_EQ(Text(w.buttonTest), "&Test");
    EXPECT_EQ(Text(w.labelServerPort), "");
    EXPECT_EQ(Text(w.labelRemainingTime), "");
    EXPECT_EQ(Text(w.labelCurrentResults), "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s");
    EXPECT_EQ(Text(w.labelMeanResults), "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s");
    EXPECT_FALSE(w.timerTestCompletePoll->GetEnabled());
    EXPECT_FALSE(w.timerPerformancePoll->GetEnabled());
    EXPECT_EQ(w.timerPerformancePoll->GetInterval(), 1000);
    EXPECT_TRUE(w.statusUpdateTimer->GetEnabled());
    EXPECT_EQ(w.menuConfigure->GetCaption().ToUtf8(), "&Configure..");
    EXPECT_EQ(w.GetClients().Length(), 1);
    EXPECT_EQ(w.GetRequesters().Length(), 1);
}

TEST_F(FrmMainTest, TextsForResultsRemainingTimeAndMemory) {
    struct row {
        double send, receive;
        const char* text;
    };
    // Bytes per millisecond × 8 = kilobits per second.
    for (row r : {row{0, 0, "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s"},
                  row{12345.678 / 8, 1.0, "Send: 12,345.68 Kbits/s\r\nRecv: 8.00 Kbits/s"},
                  row{125000, 0.00062, "Send: 1,000,000.00 Kbits/s\r\nRecv: 0.00 Kbits/s"}})
        EXPECT_EQ(TfrmMain::ResultText(r.send, r.receive).ToUtf8(), r.text);
    EXPECT_EQ(TfrmMain::StatusText(1572864).ToUtf8(), "Managed Memory Size: 1536KB");
    EXPECT_EQ(TfrmMain::StatusText(1023).ToUtf8(), "Managed Memory Size: 0KB");

    TfrmMain w(nullptr);
    w.ShowRemainingTime(7);
    EXPECT_EQ(Text(w.labelRemainingTime), "Remaining: 7s");
    w.statusUpdateTimerTimer(&w);
    const std::string status = w.statusBarMain->GetSimpleText().ToUtf8();
    EXPECT_EQ(status.rfind("Managed Memory Size: ", 0), 0u) << status;
    EXPECT_EQ(status.substr(status.size() - 2), "KB");
}

TEST_F(FrmMainTest, ListenShowsThePortAndStopClearsIt) {
    TfrmMain w(nullptr);
    Click(w.buttonListen);
    EXPECT_EQ(Text(w.buttonListen), "&Stop");
    EXPECT_TRUE(w.buttonListen->GetEnabled());
    EXPECT_EQ(Text(w.labelServerPort), "Listening @ Port " + std::to_string(port_));
    EXPECT_FALSE(PortFree(port_)) << "nothing listens";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor stayed";
    Click(w.buttonListen);
    EXPECT_EQ(Text(w.buttonListen), "&Listen");
    EXPECT_EQ(Text(w.labelServerPort), "");
    EXPECT_TRUE(PortFree(port_));
}

TEST_F(FrmMainTest, WithoutAPortSettingItListensOnTheDefaultPort) {
    UseSettings("[Config.Application]\n");
    if (!PortFree(8998)) GTEST_SKIP() << "port 8998 is taken on this machine";
    TfrmMain w(nullptr);
    Click(w.buttonListen);
    EXPECT_EQ(Text(w.labelServerPort), "Listening @ Port 8998");
    Click(w.buttonListen);
    EXPECT_EQ(Text(w.labelServerPort), "");
}

TEST_F(FrmMainTest, APortInUseShowsTheErrorAndLeavesTheWindowUsable) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    {
        TfrmMain w(nullptr);
        MessageBoxCapture boxes;
        Click(w.buttonListen);
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.boxes()[0].type, TMsgDlgType::mtError);
        EXPECT_FALSE(boxes.texts()[0].empty());
        EXPECT_EQ(Text(w.buttonListen), "&Listen");
        EXPECT_TRUE(w.buttonListen->GetEnabled());
        EXPECT_EQ(Text(w.labelServerPort), "");
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        // Once the port is free, Listen works.
        ::close(fd);
        Click(w.buttonListen);
        EXPECT_EQ(Text(w.buttonListen), "&Stop");
        EXPECT_EQ(boxes.count(), 1u) << boxes.texts().back();
        Click(w.buttonListen);
    }
}

TEST_F(FrmMainTest, ATestAgainstTheOwnListenerReportsOnceASecondAndEndsIdle) {
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    Click(w.buttonListen);
    ASSERT_EQ(Text(w.buttonListen), "&Stop");

    std::vector<std::string> remaining, current;
    w.timerPerformancePoll->OnTimer = [&](System::TObject* s) {
        w.timerPerformancePollTimer(s);
        remaining.push_back(Text(w.labelRemainingTime));
        current.push_back(Text(w.labelCurrentResults));
    };
    const auto start = std::chrono::steady_clock::now();
    Click(w.buttonTest);
    EXPECT_EQ(Text(w.buttonTest), "&Cancel");
    EXPECT_FALSE(w.menuConfigure->GetEnabled());
    EXPECT_EQ(Text(w.labelRemainingTime), "Remaining: 3s");
    EXPECT_TRUE(w.timerPerformancePoll->GetEnabled());
    ASSERT_TRUE(WaitForIdle(w)) << "the test did not end";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_GE(seconds, 2.5);
    // About one poll per second of the run.
    EXPECT_GE(remaining.size(), 2u);
    EXPECT_LE(remaining.size(), 5u);
    for (std::size_t i = 1; i < remaining.size(); ++i)
        EXPECT_GE(remaining[i - 1], remaining[i]) << "the remaining time went up";
    ASSERT_FALSE(current.empty());
    bool sawTraffic = false;
    for (const auto& c : current) sawTraffic |= c != "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s";
    EXPECT_TRUE(sawTraffic) << "the rates never moved";
    EXPECT_EQ(Text(w.labelRemainingTime), "");
    EXPECT_EQ(Text(w.labelCurrentResults), "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s");
    EXPECT_NE(Text(w.labelMeanResults), "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s");
    EXPECT_TRUE(w.menuConfigure->GetEnabled());
    EXPECT_FALSE(w.timerPerformancePoll->GetEnabled());
    EXPECT_FALSE(w.timerTestCompletePoll->GetEnabled());
    EXPECT_EQ(boxes.count(), 0u) << boxes.texts().front();
    // And a second run works on the same clients.
    Click(w.buttonTest);
    EXPECT_EQ(Text(w.buttonTest), "&Cancel");
    ASSERT_TRUE(WaitForIdle(w));
    EXPECT_EQ(boxes.count(), 0u) << boxes.texts().front();
    Click(w.buttonListen);
}

TEST_F(FrmMainTest, CancelShowsAbortingUntilTheRunHasEnded) {
    UseSettings(Config(port_, 1, 30));
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    Click(w.buttonListen);
    Click(w.buttonTest);
    ASSERT_EQ(Text(w.buttonTest), "&Cancel");
    testing_support::PumpFor(1200ms);
    Click(w.buttonTest);
    EXPECT_EQ(Text(w.buttonTest), "Aborting...");
    EXPECT_FALSE(w.buttonTest->GetEnabled());
    // Clicking a disabled, aborting button changes nothing.
    w.buttonTestClick(w.buttonTest);
    EXPECT_EQ(Text(w.buttonTest), "Aborting...");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitForIdle(w, 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << "the abort took as long as the test";
    for (int i = 0; i < w.GetClients().Length(); ++i)
        EXPECT_EQ(w.GetClients()[i]->GetState(), System::Net::Sockets::TTcpClient::Idle) << "client " << i;
    EXPECT_EQ(boxes.count(), 0u) << boxes.texts().front();
    Click(w.buttonListen);
}

TEST_F(FrmMainTest, TwentyConnectionsAreAllConnectedOnTest) {
    UseSettings(Config(port_, 20, 2));
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    ASSERT_EQ(w.GetClients().Length(), 20);
    ASSERT_EQ(w.GetRequesters().Length(), 20);
    Click(w.buttonListen);
    Click(w.buttonTest);
    ASSERT_EQ(Text(w.buttonTest), "&Cancel") << (boxes.count() ? boxes.texts()[0] : "");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(w.GetClients()[i]->GetState(), System::Net::Sockets::TTcpClient::Connected) << "client " << i;
    ASSERT_TRUE(WaitForIdle(w));
    EXPECT_EQ(boxes.count(), 0u) << boxes.texts().front();
    Click(w.buttonListen);
}

TEST_F(FrmMainTest, ClosingWhileListeningStopsTheServer) {
    TfrmMain w(nullptr);
    w.Show();
    Click(w.buttonListen);
    ASSERT_FALSE(PortFree(port_));
    w.Exit1->Click();
    EXPECT_FALSE(w.GetShowing());
    EXPECT_EQ(Text(w.buttonListen), "&Listen");
    EXPECT_TRUE(PortFree(port_)) << "the server still listens";
    Application()->ResetTerminated();
}

TEST_F(FrmMainTest, AFailedResolveOrConnectLeavesTheWindowReadyForTheNextTest) {
    struct row {
        const char* what;
        std::string settings;
    };
    const int closedPort = testing_support::FreeLoopbackPort();
    for (const row& r : {row{"resolve", Config(port_, 2, 2, "IpAddress=no-such-host.invalid\n")},
                         row{"connect", Config(closedPort, 2, 2)}}) {
        SCOPED_TRACE(r.what);
        UseSettings(r.settings);
        TfrmMain w(nullptr);
        MessageBoxCapture boxes;
        Click(w.buttonTest);
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.boxes()[0].type, TMsgDlgType::mtError);
        EXPECT_EQ(Text(w.buttonTest), "&Test");
        EXPECT_TRUE(w.buttonTest->GetEnabled());
        EXPECT_TRUE(w.menuConfigure->GetEnabled());
        EXPECT_FALSE(w.timerPerformancePoll->GetEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor stayed";
        for (int i = 0; i < w.GetClients().Length(); ++i)
            EXPECT_EQ(w.GetClients()[i]->GetState(), System::Net::Sockets::TTcpClient::Idle) << "client " << i;
    }
}

TEST_F(FrmMainTest, AHalfFailedTestDisconnectsTheClientsItConnected) {
    UseSettings(Config(port_, 3, 2));
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    Click(w.buttonListen);
    // The last client is busy already, so the test fails after connecting
    // the first two.
    auto last = w.GetClients()[2];
    last->Connect(System::Net::TDns::GetHostAddresses("127.0.0.1")[0], port_);
    Click(w.buttonTest);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_NE(boxes.texts()[0].find("TcpClient unable to connect (already connecting / connected)"), std::string::npos)
        << boxes.texts()[0];
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(w.GetClients()[i]->GetState(), System::Net::Sockets::TTcpClient::Idle) << "client " << i;
    // The next test connects all three and runs.
    boxes.clear();
    Click(w.buttonTest);
    ASSERT_EQ(Text(w.buttonTest), "&Cancel") << (boxes.count() ? boxes.texts()[0] : "");
    ASSERT_TRUE(WaitForIdle(w));
    EXPECT_EQ(boxes.count(), 0u) << boxes.texts().front();
    Click(w.buttonListen);
}

TEST_F(FrmMainTest, ARunEndedByALostServerComesBackToTestWithTheError) {
    // An echo server of the test's own, taken away in the middle of a run.
    auto provider = gcnew<Benchmark::TEchoServiceProvider>(nullptr);
    gc_disposable<System::Net::Sockets::TTcpServer> server =
        gcnew<System::Net::Sockets::TTcpServer>(gc_ptr<System::Net::Sockets::TTcpServiceProvider>(provider), port_);
    server->Start();
    UseSettings(Config(port_, 2, 20));
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    Click(w.buttonTest);
    ASSERT_EQ(Text(w.buttonTest), "&Cancel");
    testing_support::PumpFor(1200ms);
    server->Stop();
    ASSERT_TRUE(WaitForIdle(w, 20s)) << "the window stayed in the run";
    ASSERT_GE(boxes.count(), 1u) << "the run's failure was not shown";
    EXPECT_EQ(boxes.boxes()[0].type, TMsgDlgType::mtError);
    EXPECT_EQ(Text(w.labelRemainingTime), "");
    EXPECT_TRUE(w.menuConfigure->GetEnabled());
    server.Dispose();
}

TEST_F(FrmMainTest, ConfigureOkStoresTheValuesAndRebuildsTheClientsAndStopsTheServer) {
    TfrmMain w(nullptr);
    Click(w.buttonListen);
    ASSERT_EQ(Text(w.buttonListen), "&Stop");
    QTimer::singleShot(0, [&] {
        auto* list = w.GetChildForms()->LockList();
        auto* dlg = list->Count() ? static_cast<TfrmConfig*>(list->Get(0)) : nullptr;
        w.GetChildForms()->UnlockList();
        ASSERT_NE(dlg, nullptr) << "no dialog";
        EXPECT_EQ(dlg->GetMainWindow(), &w);
        dlg->updownConnections->SetPosition(4);
        Click(dlg->buttonOk);
    });
    QTimer::singleShot(20000, [&] {
        auto* list = w.GetChildForms()->LockList();
        if (list->Count()) static_cast<TForm*>(list->Get(0))->SetModalResult(mrAbort);
        w.GetChildForms()->UnlockList();
    });
    w.menuConfigure->Click();
    EXPECT_EQ(Settings().GetNumberOfConnections(), 4);
    EXPECT_EQ(w.GetClients().Length(), 4);
    EXPECT_EQ(w.GetRequesters().Length(), 4);
    EXPECT_EQ(Text(w.buttonListen), "&Listen");
    EXPECT_TRUE(PortFree(port_));
    // The dialog is gone with its handler.
    EXPECT_EQ(w.GetChildForms()->LockList()->Count(), 0);
    w.GetChildForms()->UnlockList();
}

TEST_F(FrmMainTest, AboutShowsTheCaptionAndOneLine) {
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    w.About1->Click();
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.boxes()[0].type, TMsgDlgType::mtInformation);
    EXPECT_EQ(boxes.texts()[0].rfind("Pelorin v1.1.0\r\n\r\n", 0), 0u) << boxes.texts()[0];
}

TEST_F(FrmMainTest, ASaveFailureAsksRetryOrIgnore) {
    using Answer = System::TAppSettingsBase::TSaveErrorAnswer;
    struct row {
        TModalResult pressed;
        Answer answer;
    };
    for (row r : {row{mrRetry, Answer::Retry}, row{mrIgnore, Answer::Ignore}, row{mrCancel, Answer::Ignore}}) {
        MessageBoxCapture boxes(r.pressed);
        EXPECT_EQ(Benchmark::AskSaveError("cannot write pelorin.config"), r.answer);
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.boxes()[0].buttons, unsigned(mbRetry | mbIgnore));
        EXPECT_EQ(boxes.texts()[0], "cannot write pelorin.config");
    }
}

TEST_F(FrmMainTest, AStartUpFailureEndsTheProgramWithAnErrorStatusAndTheErrorShown) {
    // The program's settings file is missing: construction fails. In a
    // child process, because the program's start-up ends the collector.
    EXPECT_EXIT(
        {
            Vcl::SetMessagePresenter([](const Vcl::TMessageBox& b) {
                fprintf(stderr, "BOX: %s\n", b.text.ToUtf8().c_str());
                return Vcl::mrOk;
            });
            std::exit(Benchmark::RunWindowProgram(0, nullptr));
        },
        ::testing::ExitedWithCode(1), "could not be loaded");
}
