// Takes the pictures of the program's windows for the documentation: the
// main window idle, during a test against its own listener and after it,
// the configuration dialog, and the graph window during a 20-connection
// test and after it. Run under an X server (scripts/screenshots).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <QApplication>
#include <QPixmap>
#include <QWidget>

#include "benchmark/GlobalSettings.h"
#include "benchmark/ModuleStartup.h"
#include "benchmark/frmConfig.h"
#include "benchmark/frmGraph.h"
#include "benchmark/frmMain.h"
#include "rtl/ExitProc.h"
#include "tests/loopback_port.h"
#include "vcl/Application.h"

namespace fs = std::filesystem;
using namespace Vcl;

namespace {

void Pump(std::chrono::milliseconds period) {
    const auto end = std::chrono::steady_clock::now() + period;
    while (std::chrono::steady_clock::now() < end) {
        Application()->ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool Save(TForm* form, const fs::path& file) {
    Pump(std::chrono::milliseconds(200));
    const QPixmap p = form->Widget()->grab();
    if (!p.save(QString::fromStdString(file.string()), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", file.c_str());
        return false;
    }
    std::printf("%s %dx%d\n", file.c_str(), p.width(), p.height());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out);
    const fs::path config = fs::temp_directory_path() / "pelorin-screenshots.config";
    {
        std::ofstream f(config);
        f << "[Config.Application]\nPort=" << testing_support::FreeLoopbackPort(8998) << "\nTestDurationSec=4\nTestPacketSize=262144\n";
    }
    Benchmark::ModuleStartup();
    Application()->Initialize(argc, argv);
    Application()->SetTitle("Pelorin");
    int status = 0;
    {
        TAppSettings settings{UnicodeString(config.string())};
        Benchmark::SetAppSettings(&settings);
        {
            TfrmMain main(nullptr);
            Application()->SetMainForm(&main);
            main.Show();
            status |= !Save(&main, out / "main-idle.png");

            main.buttonListen->Click();
            main.buttonTest->Click();
            Pump(std::chrono::milliseconds(2300));
            status |= !Save(&main, out / "main-test.png");
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (main.buttonTest->GetCaption() != "&Test" && std::chrono::steady_clock::now() < until)
                Pump(std::chrono::milliseconds(50));
            status |= !Save(&main, out / "main-after.png");

            auto* dlg = static_cast<TfrmConfig*>(main.CreateChildForm(TfrmConfig::StaticClass()));
            dlg->LoadSettings(&main);
            dlg->Show();
            status |= !Save(dlg, out / "config.png");
            delete dlg;
            main.buttonListen->Click();
        }
        {
            // The graph beside a 20-connection test of 10 seconds.
            std::ofstream f(config);
            f << "[Config.Application]\nPort=" << testing_support::FreeLoopbackPort(8998)
              << "\nTestDurationSec=10\nNumberOfConnections=20\nTestPacketSize=262144\n";
        }
        {
            TAppSettings graphSettings{UnicodeString(config.string())};
            Benchmark::SetAppSettings(&graphSettings);
            TfrmMain main(nullptr);
            Application()->SetMainForm(&main);
            main.Show();
            main.menuGraph->Click();
            TfrmGraph* graph = main.GetGraph();
            main.buttonListen->Click();
            main.buttonTest->Click();
            Pump(std::chrono::milliseconds(6300));
            status |= !Save(graph, out / "graph-test.png");
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (main.buttonTest->GetCaption() != "&Test" && std::chrono::steady_clock::now() < until)
                Pump(std::chrono::milliseconds(50));
            status |= !Save(graph, out / "graph-after.png");
            main.buttonListen->Click();
            Benchmark::SetAppSettings(nullptr);
        }
        Benchmark::SetAppSettings(nullptr);
    }
    fs::remove(config);
    System::RunExitProcs();
    return status;
}
