// The graph window driven as a user drives it: real widgets, a test against
// the main window's own listener on loopback, files saved for real.
#include "benchmark/frmGraph.h"

#include <QAbstractButton>
#include <QImage>

#include <gtest/gtest.h>

#include "benchmark/frmMain.h"
#include "benchmark/TestFigures.h"
#include "tests/benchmark/form_fixture.h"
#include "tests/support_net.h"

using namespace Vcl;
using namespace std::chrono_literals;
using Benchmark::TThroughputSample;
using testing_support::MessageBoxCapture;
using testing_support::PumpUntil;

namespace {

std::string Text(TControl* c) { return c->GetCaption().ToUtf8(); }

// The colours of the two directions' lines.
const QColor kSend(0x1f, 0x5f, 0xbf);
const QColor kReceive(0xe0, 0x70, 0x10);

// The labels as they stood right after one rate poll.
struct TPollLabels {
    std::string current, mean;
};

class FrmGraphTest : public testing_support::FormFixture {
protected:
    void SetUp() override {
        FormFixture::SetUp();
        const int port = testing_support::FreeLoopbackPort();
        ASSERT_GT(port, 0);
        UseSettings("[Config.Application]\nPort=" + std::to_string(port) +
                    "\nNumberOfConnections=2\nTestDurationSec=3\nTestPacketSize=65536\n");
    }
    static void Click(TButton* b) { static_cast<QAbstractButton*>(b->Widget())->click(); }
    // The graph open beside a window that ran one test against its own
    // listener, which is stopped again.
    static TfrmGraph* GraphAfterOneTest(TfrmMain& w) {
        w.menuGraph->Click();
        Click(w.buttonListen);
        RunTest(w);
        Click(w.buttonListen);
        return w.GetGraph();
    }
    // Runs one test to its end, recording the labels after every poll.
    static std::vector<TPollLabels> RunTest(TfrmMain& w) {
        std::vector<TPollLabels> polls;
        w.timerPerformancePoll->OnTimer = [&](System::TObject* s) {
            w.timerPerformancePollTimer(s);
            polls.push_back({Text(w.labelCurrentResults), Text(w.labelMeanResults)});
        };
        Click(w.buttonTest);
        EXPECT_EQ(Text(w.buttonTest), "&Cancel");
        EXPECT_TRUE(PumpUntil([&] { return Text(w.buttonTest) == "&Test"; }, 30s)) << "the test did not end";
        w.timerPerformancePoll->OnTimer = [&w](System::TObject* s) { w.timerPerformancePollTimer(s); };
        return polls;
    }
    // Pixels of the picture close to a colour.
    static int CountColour(const QImage& image, QColor colour) {
        int n = 0;
        const QImage img = image.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const QColor c = img.pixelColor(x, y);
                n += std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) +
                         std::abs(c.blue() - colour.blue()) <
                     40;
            }
        return n;
    }
};

} // namespace

TEST_F(FrmGraphTest, TheGraphFollowsATestWithTheFiguresTheLabelsShowed) {
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    w.Show();
    EXPECT_EQ(w.menuGraph->GetCaption().ToUtf8(), "&Graph...");
    w.menuGraph->Click();
    TfrmGraph* graph = w.GetGraph();
    ASSERT_NE(graph, nullptr);
    EXPECT_TRUE(graph->GetShowing());
    EXPECT_FALSE(graph->buttonSave->GetEnabled()) << "nothing to save before a test";
    testing_support::PumpFor(50ms);
    // The legend alone, before there is anything to draw.
    const int legendSend = CountColour(graph->GraphImage(), kSend);
    const int legendReceive = CountColour(graph->GraphImage(), kReceive);
    Click(w.buttonListen);

    const std::vector<TPollLabels> polls = RunTest(w);
    const auto& samples = w.GetResults().Samples();
    EXPECT_GE(samples.size(), 2u);
    EXPECT_LE(samples.size(), 4u);
    ASSERT_EQ(samples.size(), polls.size()) << "one sample per poll";
    bool traffic = false;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        SCOPED_TRACE(i);
        const TThroughputSample& s = samples[i];
        EXPECT_EQ(s.Second, int(i) + 1);
        // Kilobits back to bytes per millisecond is exact (÷ 8).
        EXPECT_EQ(TfrmMain::ResultText(s.SendKbits / 8, s.ReceiveKbits / 8).ToUtf8(), polls[i].current);
        EXPECT_EQ(TfrmMain::ResultText(s.AverageSendKbits / 8, s.AverageReceiveKbits / 8).ToUtf8(), polls[i].mean);
        traffic |= s.SendKbits > 0 && s.ReceiveKbits > 0;
    }
    EXPECT_TRUE(traffic) << "no sample saw traffic both ways";
    const auto& d = w.GetResults().Description();
    EXPECT_EQ(d.Server, "127.0.0.1");
    EXPECT_EQ(d.Connections, 2);
    EXPECT_EQ(d.DurationSec, 3);
    EXPECT_EQ(d.PacketSize, 65536);
    EXPECT_EQ(d.Mode, TransferMode::SendAndReceive);

    // The plot stays after the run and shows both lines.
    EXPECT_TRUE(graph->buttonSave->GetEnabled());
    testing_support::PumpFor(50ms);
    const QImage picture = graph->GraphImage();
    EXPECT_GT(CountColour(picture, kSend), legendSend + 50) << "no send line";
    EXPECT_GT(CountColour(picture, kReceive), legendReceive + 50) << "no receive line";
    EXPECT_NE(Text(graph->labelTest).find("2 connections"), std::string::npos) << Text(graph->labelTest);
    EXPECT_EQ(boxes.count(), 0u) << boxes.texts().front();
    Click(w.buttonListen);
}

TEST_F(FrmGraphTest, TheNextTestClearsThePlot) {
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    w.menuGraph->Click();
    TfrmGraph* graph = w.GetGraph();
    testing_support::PumpFor(50ms);
    const int legendSend = CountColour(graph->GraphImage(), kSend);
    Click(w.buttonListen);
    RunTest(w);
    ASSERT_FALSE(w.GetResults().Samples().empty());
    const std::time_t firstStart = w.GetResults().Description().Started;

    Click(w.buttonTest);
    ASSERT_EQ(Text(w.buttonTest), "&Cancel");
    EXPECT_TRUE(w.GetResults().Samples().empty()) << "the last test's samples are still there";
    EXPECT_GE(w.GetResults().Description().Started, firstStart);
    EXPECT_FALSE(graph->buttonSave->GetEnabled());
    testing_support::PumpFor(50ms);
    EXPECT_LE(CountColour(graph->GraphImage(), kSend), legendSend + 5) << "the old send line is still drawn";
    ASSERT_TRUE(PumpUntil([&] { return Text(w.buttonTest) == "&Test"; }, 30s));
    EXPECT_GE(w.GetResults().Samples().size(), 2u);
    EXPECT_EQ(boxes.count(), 0u) << boxes.texts().front();
    Click(w.buttonListen);
}

TEST_F(FrmGraphTest, TheGraphClosesAndReopensWhereItWas) {
    TfrmMain w(nullptr);
    w.Show();
    w.menuGraph->Click();
    TfrmGraph* graph = w.GetGraph();
    ASSERT_NE(graph, nullptr);
    EXPECT_EQ(graph->GetClientWidth(), 600);
    // First beside the main window, not over it.
    EXPECT_GT(graph->Widget()->x(), w.Widget()->frameGeometry().right());
    graph->SetLeft(40);
    graph->SetTop(300);
    graph->Close();
    EXPECT_FALSE(graph->GetShowing());
    EXPECT_TRUE(w.GetShowing()) << "closing the graph closed the main window";
    w.menuGraph->Click();
    EXPECT_EQ(w.GetGraph(), graph);
    EXPECT_TRUE(graph->GetShowing());
    EXPECT_EQ(graph->Widget()->pos(), QPoint(40, 300));
    w.Close();
    EXPECT_FALSE(graph->GetShowing()) << "the graph outlived the main window";
    Application()->ResetTerminated();
}

TEST_F(FrmGraphTest, SaveWritesTheSamplesAsCsvAndThePictureAsPng) {
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    TfrmGraph* graph = GraphAfterOneTest(w);
    ASSERT_FALSE(w.GetResults().Samples().empty());

    // The dialog cancelled: nothing written.
    std::vector<std::string> proposed;
    auto old = SetFileDialogPresenter([&](TSaveDialog& d) {
        proposed.push_back(d.FileName.ToUtf8());
        return false;
    });
    Click(graph->buttonSave);
    ASSERT_EQ(proposed.size(), 1u);
    EXPECT_EQ(proposed[0].rfind("pelorin-", 0), 0u) << proposed[0];

    const std::string csv = tmp_.file("run.csv");
    SetFileDialogPresenter([&](TSaveDialog& d) {
        d.FileName = UnicodeString(csv);
        return true;
    });
    Click(graph->buttonSave);
    SetFileDialogPresenter(old);
    EXPECT_EQ(boxes.count(), 0u) << boxes.texts().front();

    const Benchmark::TThroughputRecord back = Benchmark::ParseCsv(testing_support::ReadBytes(csv));
    EXPECT_EQ(back.Samples(), w.GetResults().Samples());
    EXPECT_EQ(back.Description(), w.GetResults().Description());
    QImage png;
    ASSERT_TRUE(png.load(QString::fromStdString(tmp_.file("run.png")))) << "no picture";
    EXPECT_EQ(png.size(), graph->paintGraph->Widget()->size());
}

TEST_F(FrmGraphTest, AFailedSaveShowsAnErrorAndLosesNothing) {
    TfrmMain w(nullptr);
    MessageBoxCapture boxes;
    TfrmGraph* graph = GraphAfterOneTest(w);
    const auto samples = w.GetResults().Samples();
    ASSERT_FALSE(samples.empty());
    ASSERT_TRUE(graph->SaveResults(UnicodeString(tmp_.file("kept.csv"))));
    const std::string kept = testing_support::ReadBytes(tmp_.file("kept.csv"));

    // Folders nobody can write to, whatever the permissions (tests may
    // run as root): one under a plain file, and one in /proc.
    testing_support::WriteBytes(tmp_.file("plain"), "x");
    for (const std::string& bad : {tmp_.file("plain") + "/run.csv", std::string("/proc/pelorin-run.csv")}) {
        SCOPED_TRACE(bad);
        boxes.clear();
        EXPECT_FALSE(graph->SaveResults(UnicodeString(bad)));
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.boxes()[0].type, TMsgDlgType::mtError);
        EXPECT_EQ(boxes.texts()[0].rfind("Cannot save the results - ", 0), 0u) << boxes.texts()[0];
        EXPECT_NE(boxes.texts()[0].find(bad), std::string::npos) << boxes.texts()[0];
    }
    EXPECT_EQ(w.GetResults().Samples(), samples) << "the samples changed";
    EXPECT_TRUE(graph->buttonSave->GetEnabled());
    // A second try elsewhere still has everything.
    ASSERT_TRUE(graph->SaveResults(UnicodeString(tmp_.file("again.csv"))));
    EXPECT_EQ(testing_support::ReadBytes(tmp_.file("again.csv")), kept);
    EXPECT_EQ(testing_support::ReadBytes(tmp_.file("kept.csv")), kept);
}
