#include "benchmark/frmMain.h"

#include <algorithm>
#include <ctime>
#include <memory>

#include "GC/GarbageCollector.h"
#include "RozavUde/Dns.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "benchmark/GlobalSettings.h"
#include "benchmark/ModuleStartup.h"
#include "benchmark/frmConfig.h"
#include "benchmark/frmGraph.h"
#include "core/Exceptions.h"
#include "platform/debug_output.h"
#include "platform/system.h"
#include "rtl/Conversions.h"
#include "rtl/ExitProc.h"
#include "vcl/Application.h"
#include "vcl/Dialogs.h"

using namespace Vcl;
using Benchmark::TEchoServiceProvider;
using Benchmark::TEchoServiceRequester;
using Benchmark::TLanTester;
using System::Net::Sockets::TTcpClient;
using System::Net::Sockets::TTcpServer;
using System::Sysutils::FloatToStrF;
using System::Sysutils::IntToStr;
using System::Sysutils::TFloatFormat;

namespace {

const char* const kListen = "&Listen";
const char* const kStop = "&Stop";
const char* const kWait = "Wait...";
const char* const kTest = "&Test";
const char* const kCancel = "&Cancel";
const char* const kAborting = "Aborting...";
const char* const kNoResult = "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s";

// The dialog keeps the count within these; a hand-edited file may not.
constexpr int kMinConnections = 1;
constexpr int kMaxConnections = 20;

TLabel* MakeLabel(TComponent* owner, TWinControl* parent, const char* name, const char* caption, int left, int top,
                  int width, int height) {
    TLabel* l = CreateControl<TLabel>(owner, parent, name, left, top, width, height);
    l->SetCaption(caption);
    return l;
}

TMenuItem* MakeItem(TComponent* owner, const char* name, const char* caption) {
    auto* i = new TMenuItem(owner);
    i->SetName(name);
    i->SetCaption(caption);
    return i;
}

// The hourglass for a scope, whatever way it is left.
struct BusyCursor {
    BusyCursor() { Screen()->SetCursor(crHourGlass); }
    ~BusyCursor() { Screen()->SetCursor(crDefault); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace

System::TClass TfrmMain::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TfrmMain, System::TWindowsForm>("TfrmMain", "frmMain").Build();
    return &cls;
}

TfrmMain::TfrmMain(System::Classes::TComponent* owner) : TWindowsForm(owner) {
    SetName("frmMain");
    SetBorderStyle(TFormBorderStyle::bsSingle);
    SetPosition(TPosition::poScreenCenter);
    SetClientSize(339, 270);

    GroupBox1 = CreateControl<TGroupBox>(this, this, "GroupBox1", 8, 4, 323, 56);
    GroupBox1->SetCaption(" Server ");
    buttonListen = CreateControl<TButton>(this, GroupBox1, "buttonListen", 12, 21, 75, 25);
    buttonListen->SetCaption(kListen);
    buttonListen->OnClick = [this](System::TObject* s) { buttonListenClick(s); };
    labelServerPort = MakeLabel(this, GroupBox1, "labelServerPort", "", 96, 27, 215, 14);
    labelServerPort->SetAlignment(TAlignment::taRightJustify);

    GroupBox2 = CreateControl<TGroupBox>(this, this, "GroupBox2", 8, 66, 323, 178);
    GroupBox2->SetCaption(" Tester (Client) ");
    buttonTest = CreateControl<TButton>(this, GroupBox2, "buttonTest", 12, 21, 75, 25);
    buttonTest->SetCaption(kTest);
    buttonTest->OnClick = [this](System::TObject* s) { buttonTestClick(s); };
    labelRemainingTime = MakeLabel(this, GroupBox2, "labelRemainingTime", "", 96, 27, 215, 14);
    labelRemainingTime->SetAlignment(TAlignment::taRightJustify);
    Label1 = MakeLabel(this, GroupBox2, "Label1", "Performance:", 12, 58, 100, 14);
    Label2 = MakeLabel(this, GroupBox2, "Label2", "Current:", 28, 80, 60, 14);
    labelCurrentResults = MakeLabel(this, GroupBox2, "labelCurrentResults", kNoResult, 96, 80, 215, 32);
    labelCurrentResults->SetWordWrap(true);
    Label3 = MakeLabel(this, GroupBox2, "Label3", "Average:", 28, 124, 60, 14);
    labelMeanResults = MakeLabel(this, GroupBox2, "labelMeanResults", kNoResult, 96, 124, 215, 32);
    labelMeanResults->SetWordWrap(true);

    statusBarMain = new TStatusBar(this);
    statusBarMain->SetName("statusBarMain");
    statusBarMain->SetParent(this);

    timerTestCompletePoll = new TTimer(this);
    timerTestCompletePoll->SetEnabled(false);
    timerTestCompletePoll->OnTimer = [this](System::TObject* s) { timerTestCompletePollTimer(s); };
    timerPerformancePoll = new TTimer(this);
    timerPerformancePoll->SetEnabled(false);
    timerPerformancePoll->SetInterval(1000);
    timerPerformancePoll->OnTimer = [this](System::TObject* s) { timerPerformancePollTimer(s); };
    statusUpdateTimer = new TTimer(this);
    statusUpdateTimer->SetInterval(1000);
    statusUpdateTimer->OnTimer = [this](System::TObject* s) { statusUpdateTimerTimer(s); };

    MainMenu1 = new TMainMenu(this);
    le1 = MakeItem(this, "le1", "&File");
    menuConfigure = MakeItem(this, "menuConfigure", "&Configure..");
    menuConfigure->OnClick = [this](System::TObject* s) { menuConfigureClick(s); };
    N1 = MakeItem(this, "N1", "-");
    Exit1 = MakeItem(this, "Exit1", "E&xit");
    Exit1->OnClick = [this](System::TObject* s) { Exit1Click(s); };
    le1->Add(menuConfigure);
    le1->Add(N1);
    le1->Add(Exit1);
    View1 = MakeItem(this, "View1", "&View");
    menuGraph = MakeItem(this, "menuGraph", "&Graph...");
    menuGraph->OnClick = [this](System::TObject* s) { menuGraphClick(s); };
    View1->Add(menuGraph);
    Help1 = MakeItem(this, "Help1", "&Help");
    About1 = MakeItem(this, "About1", "&About...");
    About1->OnClick = [this](System::TObject* s) { About1Click(s); };
    Help1->Add(About1);
    MainMenu1->Add(le1);
    MainMenu1->Add(View1);
    MainMenu1->Add(Help1);
    MainMenu1->Attach(this);

    OnClose = [this](System::TObject* s, TCloseAction& a) { FormClose(s, a); };

    SetCaption(UnicodeString(kProductName) + " " + kVersion);
    statusBarMain->SetSimpleText(StatusText(gc_detail::TGarbageCollector::GetAllocatedBytes(true)));
    ApplySettings();
}

TfrmMain::~TfrmMain() {
    // Closing runs FormClose while the fields still exist; the base
    // class's own close comes too late for them.
    try {
        if (GetShowing()) Close();
        if (tester) tester->Abort();
        if (buttonListen->GetCaption() == kStop && server) server->Stop();
    } catch (...) {
    }
    timerTestCompletePoll->SetEnabled(false);
    timerPerformancePoll->SetEnabled(false);
    statusUpdateTimer->SetEnabled(false);
    OnClose = nullptr;
    // The graph shows this window's figures, which go before the forms
    // this window owns.
    delete graph;
    graph = nullptr;
}

TAppSettings& TfrmMain::Settings() const {
    TAppSettings* s = Benchmark::GetAppSettings();
    if (!s) throw System::Sysutils::EInvalidOperation("The settings are not loaded");
    return *s;
}

void TfrmMain::ApplySettings() {
    if (buttonListen->GetCaption() == kStop) buttonListenClick(buttonListen);
    if (server && !gc_disposable<TTcpServer>::is_disposed(server.get())) server.Dispose();
    TAppSettings& s = Settings();
    provider = gcnew<TEchoServiceProvider>(this);
    server = gcnew<TTcpServer>(gc_ptr<System::Net::Sockets::TTcpServiceProvider>(provider),
                               s.get_int(TAppSettings::KeyPort, TAppSettings::DefaultPort));
    const int n = std::clamp(s.get_int(TAppSettings::KeyNumberOfConnections, TAppSettings::DefaultNumberOfConnections),
                             kMinConnections, kMaxConnections);
    requesters = gcnew_array<gc_ptr<TEchoServiceRequester>>(n);
    clients = gcnew_array<gc_disposable<TTcpClient>>(n);
    for (int i = 0; i < n; ++i) requesters[i] = gcnew<TEchoServiceRequester>(this);
    for (int i = 0; i < n; ++i)
        clients[i] = gcnew<TTcpClient>(gc_ptr<System::Net::Sockets::TTcpServiceRequester>(requesters[i]));
    tester = gcnew<TLanTester>(clients, requesters, &s);
}

UnicodeString TfrmMain::ResultText(double sendRate, double receiveRate) {
    return "Send: " + FloatToStrF(sendRate * 8, TFloatFormat::ffNumber, 100, 2) + " Kbits/s\r\nRecv: " +
           FloatToStrF(receiveRate * 8, TFloatFormat::ffNumber, 100, 2) + " Kbits/s";
}

UnicodeString TfrmMain::StatusText(std::uint64_t allocatedBytes) {
    return "Managed Memory Size: " + IntToStr(static_cast<std::int64_t>(allocatedBytes / 1024)) + "KB";
}

void TfrmMain::ShowCurrentResults(double s, double r) { labelCurrentResults->SetCaption(ResultText(s, r)); }
void TfrmMain::ShowMeanResults(double s, double r) { labelMeanResults->SetCaption(ResultText(s, r)); }

void TfrmMain::ShowRemainingTime(int seconds) {
    labelRemainingTime->SetCaption("Remaining: " + IntToStr(seconds) + "s");
}

void TfrmMain::ShowListening(bool listening) {
    buttonListen->SetCaption(listening ? kStop : kListen);
    labelServerPort->SetCaption(
        listening ? "Listening @ Port " + IntToStr(Settings().get_int(TAppSettings::KeyPort, TAppSettings::DefaultPort))
                  : UnicodeString());
}

void TfrmMain::buttonListenClick(System::TObject*) {
    buttonListen->SetEnabled(false);
    BusyCursor busy;
    const bool start = buttonListen->GetCaption() == kListen;
    try {
        buttonListen->SetCaption(kWait);
        Application()->ProcessMessages();
        if (start) server->Start();
        else server->Stop();
        ShowListening(start);
    } catch (...) {
        // The window shows what the server really does, and stays usable;
        // the error itself goes to the exception dialog.
        ShowListening(server && !server->GetStopped());
        buttonListen->SetEnabled(true);
        throw;
    }
    buttonListen->SetEnabled(true);
}

void TfrmMain::DisconnectClients() {
    for (int i = 0; i < clients.Length(); ++i) {
        TTcpClient* c = clients[i].get();
        if (!c || c->GetState() == TTcpClient::Idle) continue;
        try {
            c->Disconnect(false);
        } catch (...) {
        }
    }
}

void TfrmMain::buttonTestClick(System::TObject*) {
    const UnicodeString caption = buttonTest->GetCaption();
    if (caption == kCancel) {
        tester->Abort();
        buttonTest->SetCaption(kAborting);
        buttonTest->SetEnabled(false);
        return;
    }
    if (caption != kTest) return;

    TAppSettings& s = Settings();
    {
        BusyCursor busy;
        try {
            const UnicodeString host = s.GetIpAddress();
            auto addresses = System::Net::TDns::GetHostAddresses(host);
            if (!addresses || addresses.Length() == 0) throw Exception("Unable to resolve host name - " + host);
            const int port = s.get_int(TAppSettings::KeyPort, TAppSettings::DefaultPort);
            for (int i = 0; i < clients.Length(); ++i) clients[i]->Connect(addresses[0], port);
        } catch (...) {
            // A half-made test leaves nothing connected, so the next one
            // can connect every client again.
            DisconnectClients();
            throw;
        }
    }
    try {
        tester->Initialize(TransferMode::Parse(s.GetTransferMode()));
    } catch (...) {
        DisconnectClients();
        throw;
    }
    buttonTest->SetCaption(kCancel);
    menuConfigure->SetEnabled(false);
    StartResults();
    lastPollTick = platform::tick_count();
    ShowRemainingTime(s.get_int(TAppSettings::KeyTestDurationSec, TAppSettings::DefaultTestDurationSec));
    // The run's end, and why, is read from the tester by the completion
    // poll; an exception leaving RunTest is that same failure again.
    gc_ptr<TLanTester> t = tester;
    System::Threading::Global::g_ThreadPool->QueueUserWorkItem(System::MakeInvoker([t] {
        try {
            t->RunTest();
        } catch (...) {
        }
    }));
    timerTestCompletePoll->SetInterval(1000);
    timerTestCompletePoll->SetEnabled(true);
    timerPerformancePoll->SetEnabled(true);
}

void TfrmMain::timerPerformancePollTimer(System::TObject*) {
    const int sent = tester->GetSentBytesDelta();
    const int received = tester->GetReceivedBytesDelta();
    const std::uint32_t now = platform::tick_count();
    std::uint32_t elapsed = now - lastPollTick;
    if (elapsed == 0) elapsed = 1;
    const double sendRate = double(sent) / elapsed, receiveRate = double(received) / elapsed;
    ShowCurrentResults(sendRate, receiveRate);
    lastPollTick = now;
    const double averageSend = tester->GetAverageSendRate(), averageReceive = tester->GetAverageReceiveRate();
    ShowMeanResults(averageSend, averageReceive);
    ShowRemainingTime(tester->GetRemainingSeconds());
    results.Add(sendRate, receiveRate, averageSend, averageReceive);
    if (graph) graph->RecordChanged();
}

void TfrmMain::StartResults() {
    TAppSettings& s = Settings();
    Benchmark::TTestDescription d;
    d.Server = s.GetIpAddress().ToUtf8();
    d.Port = s.get_int(TAppSettings::KeyPort, TAppSettings::DefaultPort);
    d.Connections = clients.Length();
    d.Mode = TransferMode::Parse(s.GetTransferMode());
    d.PacketSize = tester->GetPacketSize();
    d.DurationSec = tester->GetDurationSec();
    d.Started = std::time(nullptr);
    results.Start(d);
    if (graph) graph->RecordChanged();
}

void TfrmMain::menuGraphClick(System::TObject*) {
    if (!graph) {
        graph = static_cast<TfrmGraph*>(CreateChildForm(TfrmGraph::StaticClass()));
        graph->SetRecord(&results);
        // First beside this window; later where the user left it.
        const QRect frame = Widget()->frameGeometry();
        graph->SetLeft(frame.right() + 9);
        graph->SetTop(frame.top());
    }
    graph->Show();
}

void TfrmMain::timerTestCompletePollTimer(System::TObject*) {
    timerTestCompletePoll->SetInterval(100);
    if (!tester->GetComplete()) return;
    labelRemainingTime->SetCaption("");
    menuConfigure->SetEnabled(true);
    buttonTest->SetCaption(kTest);
    buttonTest->SetEnabled(true);
    timerTestCompletePoll->SetEnabled(false);
    timerPerformancePoll->SetEnabled(false);
    ShowCurrentResults(0, 0);
    ShowMeanResults(tester->GetAverageSendRate(), tester->GetAverageReceiveRate());
    // A run that failed on its own says why.
    const auto outcome = tester->GetOutcome();
    if (outcome == TLanTester::TOutcome::Failed || outcome == TLanTester::TOutcome::ConnectionLost) {
        const std::string text = tester->GetOutcomeText();
        MessageDlg(text.empty() ? UnicodeString("The test ended with an error") : UnicodeString(text),
                   TMsgDlgType::mtError, mbOK);
    }
}

void TfrmMain::statusUpdateTimerTimer(System::TObject*) {
    statusBarMain->SetSimpleText(StatusText(gc_detail::TGarbageCollector::GetAllocatedBytes(true)));
}

void TfrmMain::menuConfigureClick(System::TObject*) {
    std::unique_ptr<TfrmConfig> dialog(static_cast<TfrmConfig*>(CreateChildForm(TfrmConfig::StaticClass())));
    dialog->LoadSettings(this);
    if (dialog->ShowModal() == mrOk) {
        dialog->StoreSettings();
        ApplySettings();
    }
}

void TfrmMain::Exit1Click(System::TObject*) { Close(); }

void TfrmMain::About1Click(System::TObject*) {
    MessageBox(GetCaption(), GetCaption() + "\r\n\r\nLAN TCP throughput benchmark on the Norvane_C14 runtime.",
               TMsgDlgType::mtInformation, mbOK);
}

void TfrmMain::FormClose(System::TObject*, TCloseAction&) {
    if (tester) tester->Abort();
    if (buttonListen->GetCaption() == kStop) buttonListenClick(buttonListen);
}

namespace Benchmark {

System::TAppSettingsBase::TSaveErrorAnswer AskSaveError(const UnicodeString& message) {
    return MessageBox(Application()->GetTitle(), message, TMsgDlgType::mtError, mbRetry | mbIgnore) == mrRetry
               ? System::TAppSettingsBase::TSaveErrorAnswer::Retry
               : System::TAppSettingsBase::TSaveErrorAnswer::Ignore;
}

int RunWindowProgram(int argc, char** argv) {
    ModuleStartup();
    int status = 0;
    try {
        Application()->Initialize(argc, argv);
        Application()->MainFormOnTaskBar = true;
        Application()->SetTitle(TfrmMain::kProductName);
        System::TAppSettingsBase::SetSaveErrorHandler(&AskSaveError);
        CreateAppSettings();
        auto* main = new TfrmMain(nullptr);
        Application()->TakeOwnership(main);
        Application()->SetMainForm(main);
        Application()->Run();
        return 0;
    } catch (const Exception& e) {
        Application()->ShowException(&e);
        status = 1;
    } catch (const std::exception& e) {
        const Exception wrapped{UnicodeString(e.what())};
        Application()->ShowException(&wrapped);
        status = 1;
    }
    System::RunExitProcs();
    return status;
}

} // namespace Benchmark
