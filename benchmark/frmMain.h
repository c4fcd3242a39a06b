// The main window: the echo server (Listen/Stop), the throughput test
// (Test/Cancel) with its current and average rates and remaining time,
// the managed memory in the status bar, and the menus.
#pragma once
#include <cstdint>

#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "RozavUde/Forms/WindowsForm.h"
#include "RozavUde/Tcp/TcpClient.h"
#include "RozavUde/Tcp/TcpServer.h"
#include "benchmark/AppSettings.h"
#include "benchmark/EchoService.h"
#include "benchmark/LanTester.h"
#include "benchmark/ThroughputRecord.h"
#include "vcl/ComCtrls.h"
#include "vcl/ExtCtrls.h"
#include "vcl/Menus.h"
#include "vcl/StdCtrls.h"

class TfrmGraph;

class TfrmMain : public System::TWindowsForm {
public:
    NORVANE_CLASS_INFO()
    static constexpr const char* kProductName = "Pelorin";
    static constexpr const char* kVersion = "v1.1.0";

    explicit TfrmMain(System::Classes::TComponent* owner);
    ~TfrmMain() override;

    void ApplySettings();
    // Rates in bytes per millisecond.
    void ShowCurrentResults(double sendRate, double receiveRate);
    void ShowMeanResults(double sendRate, double receiveRate);
    void ShowRemainingTime(int seconds);

    void buttonListenClick(System::TObject* sender);
    void buttonTestClick(System::TObject* sender);
    void timerTestCompletePollTimer(System::TObject* sender);
    void timerPerformancePollTimer(System::TObject* sender);
    void statusUpdateTimerTimer(System::TObject* sender);
    void menuConfigureClick(System::TObject* sender);
    void Exit1Click(System::TObject* sender);
    void About1Click(System::TObject* sender);
    void menuGraphClick(System::TObject* sender);
    void FormClose(System::TObject* sender, Vcl::TCloseAction& action);

    // "Send: S Kbits/s\r\nRecv: R Kbits/s" for rates in bytes per ms.
    static UnicodeString ResultText(double sendRate, double receiveRate);
    // "Managed Memory Size: <bytes / 1024>KB".
    static UnicodeString StatusText(std::uint64_t allocatedBytes);

    gc_ptr<Benchmark::TEchoServiceProvider> GetProvider() const { return provider; }
    gc_disposable<System::Net::Sockets::TTcpServer> GetServer() const { return server; }
    gc_array<gc_disposable<System::Net::Sockets::TTcpClient>> GetClients() const { return clients; }
    gc_array<gc_ptr<Benchmark::TEchoServiceRequester>> GetRequesters() const { return requesters; }
    gc_ptr<Benchmark::TLanTester> GetTester() const { return tester; }
    // The latest test's figures, one sample per rate poll.
    const Benchmark::TThroughputRecord& GetResults() const { return results; }
    // Null until the graph is first opened.
    TfrmGraph* GetGraph() const { return graph; }

    Vcl::TGroupBox* GroupBox1;
    Vcl::TButton* buttonListen;
    Vcl::TLabel* labelServerPort;
    Vcl::TGroupBox* GroupBox2;
    Vcl::TButton* buttonTest;
    Vcl::TLabel* labelRemainingTime;
    Vcl::TLabel* Label1;
    Vcl::TLabel* Label2;
    Vcl::TLabel* labelCurrentResults;
    Vcl::TLabel* Label3;
    Vcl::TLabel* labelMeanResults;
    Vcl::TStatusBar* statusBarMain;
    Vcl::TTimer* timerTestCompletePoll;
    Vcl::TTimer* timerPerformancePoll;
    Vcl::TTimer* statusUpdateTimer;
    Vcl::TMainMenu* MainMenu1;
    Vcl::TMenuItem* le1;
    Vcl::TMenuItem* menuConfigure;
    Vcl::TMenuItem* N1;
    Vcl::TMenuItem* Exit1;
    Vcl::TMenuItem* View1;
    Vcl::TMenuItem* menuGraph;
    Vcl::TMenuItem* Help1;
    Vcl::TMenuItem* About1;

private:
    TAppSettings& Settings() const;
    void ShowListening(bool listening);
    void DisconnectClients();
    void StartResults();

    gc_ptr<Benchmark::TEchoServiceProvider> provider;
    gc_disposable<System::Net::Sockets::TTcpServer> server;
    gc_array<gc_ptr<Benchmark::TEchoServiceRequester>> requesters;
    gc_array<gc_disposable<System::Net::Sockets::TTcpClient>> clients;
    gc_ptr<Benchmark::TLanTester> tester;
    std::uint32_t lastPollTick = 0;
    Benchmark::TThroughputRecord results;
    TfrmGraph* graph = nullptr;
};

namespace Benchmark {
// The settings store's question when writing the file failed: an error box
// with Retry and Ignore.
System::TAppSettingsBase::TSaveErrorAnswer AskSaveError(const UnicodeString& message);

// The program with its window: module start-up, the application, the
// settings object, the main window and the message loop. Returns the exit
// code: 0 after a normal close, 1 when start-up or the loop failed.
int RunWindowProgram(int argc, char** argv);
} // namespace Benchmark
