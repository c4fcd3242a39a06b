#include "benchmark/frmGraph.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <ctime>

#include <QBuffer>
#include <QFileInfo>
#include <QPainter>
#include <QPolygonF>
#include <QSaveFile>

#include "benchmark/PlotAxis.h"
#include "rtl/Conversions.h"
#include "vcl/Application.h"

using namespace Vcl;
using Benchmark::TAxisScale;
using Benchmark::TThroughputRecord;
using Benchmark::TThroughputSample;

namespace {

// Colours that stay apart for the colour-blind too: blue and orange, the
// averages dashed in the same colours.
const QColor kSendColour(0x1f, 0x5f, 0xbf);
const QColor kReceiveColour(0xe0, 0x70, 0x10);
const QColor kGridColour(0xe4, 0xe4, 0xe4);
const QColor kFrameColour(0x90, 0x90, 0x90);
const QColor kTextColour(0x20, 0x20, 0x20);

QString Q(const UnicodeString& s) { return ToQString(s); }

struct TSeries {
    const char* name;
    QColor colour;
    Qt::PenStyle style;
    double TThroughputSample::*value;
};

const TSeries kSeries[] = {
    {"Send", kSendColour, Qt::SolidLine, &TThroughputSample::SendKbits},
    {"Receive", kReceiveColour, Qt::SolidLine, &TThroughputSample::ReceiveKbits},
    {"Average send", kSendColour, Qt::DashLine, &TThroughputSample::AverageSendKbits},
    {"Average receive", kReceiveColour, Qt::DashLine, &TThroughputSample::AverageReceiveKbits},
};

QPen SeriesPen(const TSeries& s) {
    QPen pen(s.colour, s.style == Qt::SolidLine ? 2.0 : 1.5, s.style);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::BevelJoin);
    return pen;
}

// The legend along the top edge of `area`, right-aligned; returns its height.
int PaintLegend(QPainter& p, const QRect& area) {
    const QFontMetrics fm = p.fontMetrics();
    constexpr int swatch = 22, gap = 5, spacing = 14;
    int width = 0;
    for (const TSeries& s : kSeries) width += swatch + gap + fm.horizontalAdvance(QString::fromUtf8(s.name)) + spacing;
    width -= spacing;
    int x = area.right() - width;
    const int y = area.top() + fm.height() / 2 + 2;
    for (const TSeries& s : kSeries) {
        p.setPen(SeriesPen(s));
        p.drawLine(x, y, x + swatch, y);
        x += swatch + gap;
        p.setPen(kTextColour);
        const QString name = QString::fromUtf8(s.name);
        p.drawText(x, area.top() + 2 + fm.ascent(), name);
        x += fm.horizontalAdvance(name) + spacing;
    }
    return fm.height() + 4;
}

} // namespace

System::TClass TfrmGraph::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TfrmGraph, System::TWindowsForm>("TfrmGraph", "frmGraph").Build();
    return &cls;
}

TfrmGraph::TfrmGraph(System::Classes::TComponent* owner) : TWindowsForm(owner) {
    SetName("frmGraph");
    SetBorderStyle(TFormBorderStyle::bsSingle);
    SetClientSize(600, 360);
    SetCaption("Pelorin Graph");

    paintGraph = CreateControl<TPaintBox>(this, this, "paintGraph", 0, 0, 600, 320);
    paintGraph->OnPaint = [this](System::TObject*, QPainter& p) { PaintBox(p); };
    labelTest = CreateControl<TLabel>(this, this, "labelTest", 8, 326, 500, 30);
    buttonSave = CreateControl<TButton>(this, this, "buttonSave", 517, 328, 75, 25);
    buttonSave->SetCaption("&Save...");
    buttonSave->SetEnabled(false);
    buttonSave->OnClick = [this](System::TObject* s) { buttonSaveClick(s); };
    dialogSave = new TSaveDialog(this);
    dialogSave->Title = "Save Results";
    dialogSave->Filter = "CSV files (*.csv)|*.csv|All files|*";
    dialogSave->DefaultExt = "csv";
}

void TfrmGraph::SetRecord(const TThroughputRecord* r) {
    record = r;
    RecordChanged();
}

void TfrmGraph::RecordChanged() {
    const bool any = record && record->Started();
    buttonSave->SetEnabled(any && !record->Samples().empty());
    const UnicodeString text = any ? DescriptionText(record->Description()) : UnicodeString();
    // Setting a label's text lays it out again; once per test is enough.
    if (labelTest->GetCaption() != text) labelTest->SetCaption(text);
    paintGraph->Invalidate();
}

UnicodeString TfrmGraph::DescriptionText(const Benchmark::TTestDescription& d) {
    using System::Sysutils::FloatToStrF;
    using System::Sysutils::IntToStr;
    using System::Sysutils::TFloatFormat;
    return UnicodeString(d.Server) + ":" + IntToStr(d.Port) + ", " + IntToStr(d.Connections) +
           (d.Connections == 1 ? " connection, " : " connections, ") + TransferMode::ToString(d.Mode) +
           ", packets of " + FloatToStrF(d.PacketSize / 1024.0, TFloatFormat::ffNumber, 17, 0) + " KB, " +
           IntToStr(d.DurationSec) + " s\r\nStarted " + UnicodeString(Benchmark::FormatStartTime(d.Started));
}

// Where things go for one size and one pair of scales.
struct TfrmGraph::TLayout {
    TAxisScale x, y;
    QRect area, plot;
    int hint = 0; // 0: samples, 1: no test yet, 2: waiting for the first sample
    bool operator==(const TLayout& o) const {
        return area == o.area && plot == o.plot && hint == o.hint && x.Top == o.x.Top && x.Step == o.x.Step &&
               y.Top == o.y.Top && y.Step == o.y.Step;
    }
    double X(double second) const { return plot.left() + second / x.Top * plot.width(); }
    double Y(double value) const { return plot.bottom() - value / y.Top * plot.height(); }
};

namespace {

using TGraphLayout = TfrmGraph::TLayout;

TGraphLayout Layout(const QFontMetrics& fm, const QRect& area, const TThroughputRecord* r) {
    TGraphLayout g;
    g.area = area;
    const bool any = r && !r->Samples().empty();
    g.hint = any ? 0 : (r && r->Started() ? 2 : 1);
    double top = 0;
    int lastSecond = 0;
    if (any) {
        for (const TThroughputSample& s : r->Samples())
            for (const TSeries& series : kSeries) top = std::max(top, s.*series.value);
        lastSecond = r->Samples().back().Second;
    }
    g.y = Benchmark::ScaleFor(top);
    g.x = Benchmark::TimeScale(r && r->Started() ? r->Description().DurationSec : 10, lastSecond);
    // The widest value label sets the left margin.
    int labelWidth = 0;
    for (double v : g.y.Ticks()) labelWidth = std::max(labelWidth, fm.horizontalAdvance(Q(Benchmark::TickText(v, g.y.Step))));
    const int legendHeight = fm.height() + 4;
    g.plot = QRect(QPoint(area.left() + 14 + labelWidth, area.top() + 10 + legendHeight + fm.height() / 2),
                   QPoint(area.right() - 16, area.bottom() - 2 * fm.height() - 12));
    return g;
}

// Everything but the data: legend, axes, grid, labels, the hint.
void PaintFrame(QPainter& p, const TGraphLayout& g) {
    const QFontMetrics fm = p.fontMetrics();
    p.fillRect(g.area, Qt::white);
    PaintLegend(p, g.area.adjusted(8, 6, -12, 0));
    p.setPen(kTextColour);
    p.drawText(g.area.left() + 8, g.area.top() + 8 + fm.ascent(), QStringLiteral("Kbits/s"));
    const QRect& plot = g.plot;
    for (double v : g.y.Ticks()) {
        const int yy = int(std::lround(g.Y(v)));
        p.setPen(kGridColour);
        if (v > 0) p.drawLine(plot.left() + 1, yy, plot.right(), yy);
        p.setPen(kTextColour);
        const QString t = Q(Benchmark::TickText(v, g.y.Step));
        p.drawText(plot.left() - 6 - fm.horizontalAdvance(t), yy + fm.ascent() / 2 - 1, t);
    }
    for (double s : g.x.Ticks()) {
        const int xx = int(std::lround(g.X(s)));
        p.setPen(kGridColour);
        if (s > 0) p.drawLine(xx, plot.top(), xx, plot.bottom() - 1);
        p.setPen(kFrameColour);
        p.drawLine(xx, plot.bottom(), xx, plot.bottom() + 3);
        p.setPen(kTextColour);
        const QString t = QString::number(int(s));
        p.drawText(xx - fm.horizontalAdvance(t) / 2, plot.bottom() + 5 + fm.ascent(), t);
    }
    p.setPen(kFrameColour);
    p.drawRect(plot);
    p.setPen(kTextColour);
    const QString xTitle = QStringLiteral("Seconds");
    p.drawText(plot.center().x() - fm.horizontalAdvance(xTitle) / 2, plot.bottom() + 7 + fm.height() + fm.ascent(),
               xTitle);
    if (g.hint == 1) p.drawText(plot, Qt::AlignCenter, QStringLiteral("Run a test to see its throughput here."));
    if (g.hint == 2) p.drawText(plot, Qt::AlignCenter, QStringLiteral("Waiting for the first second of the test..."));
}

// The rates: a line per direction, its average so far as a flat dashed
// line across the run.
void PaintData(QPainter& p, const TGraphLayout& g, const TThroughputRecord& r) {
    const auto& samples = r.Samples();
    if (samples.empty()) return;
    p.save();
    // Room for the poll marks on the frame's edges (the first second, the
    // last, a rate of 0); the lines themselves stay inside the scales.
    p.setClipRect(g.plot.adjusted(-3, -3, 3, 3));
    QPolygonF line;
    line.reserve(qsizetype(std::min<std::size_t>(samples.size(), 2 * std::size_t(g.plot.width()) + 2)));
    for (const TSeries& series : kSeries) {
        p.setPen(SeriesPen(series));
        if (series.style == Qt::DashLine) {
            // Level, so it needs no smoothing.
            const int v = int(std::lround(g.Y(samples.back().*series.value)));
            p.drawLine(g.plot.left(), v, g.plot.right(), v);
            continue;
        }
        line.clear();
        if (samples.size() <= std::size_t(g.plot.width())) {
            for (const TThroughputSample& s : samples) line << QPointF(g.X(s.Second), g.Y(s.*series.value));
        } else {
            // More samples than pixels (a long run): each pixel column's
            // lowest and highest value, so dips and peaks still show.
            int column = INT_MIN;
            double lo = 0, hi = 0;
            auto flush = [&] {
                if (column != INT_MIN) line << QPointF(column, g.Y(lo)) << QPointF(column, g.Y(hi));
            };
            for (const TThroughputSample& s : samples) {
                const int c = int(g.X(s.Second));
                const double v = s.*series.value;
                if (c != column) {
                    flush();
                    column = c;
                    lo = hi = v;
                } else {
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
            }
            flush();
        }
        // Smoothing costs milliseconds once the line has a point in every
        // pixel column, where it shows no more.
        if (line.size() > g.plot.width() / 4) {
            // Two one-pixel lines a pixel apart: the rasteriser's fast path.
            QPen thin(series.colour, 1);
            thin.setCosmetic(true);
            p.setPen(thin);
            p.drawPolyline(line);
            line.translate(0, 1);
            p.drawPolyline(line);
        } else {
            p.setRenderHint(QPainter::Antialiasing, true);
            p.drawPolyline(line);
            p.setRenderHint(QPainter::Antialiasing, false);
        }
        // Dots mark the polls of a short run.
        if (samples.size() <= 60) {
            p.setPen(Qt::NoPen);
            p.setBrush(series.colour);
            for (const QPointF& pt : line) p.drawRect(QRectF(pt.x() - 2, pt.y() - 2, 4, 4));
            p.setBrush(Qt::NoBrush);
        }
    }
    p.restore();
}

} // namespace

void TfrmGraph::PaintGraph(QPainter& p, const QRect& area, const TThroughputRecord* r) {
    p.setFont(Application()->DefaultFont());
    const TGraphLayout g = Layout(p.fontMetrics(), area, r);
    PaintFrame(p, g);
    if (r) PaintData(p, g, *r);
}

void TfrmGraph::PaintBox(QPainter& p) {
    // The frame changes only when a scale does; drawing it from a picture
    // kept since then keeps a sample's cost to the lines themselves.
    const QRect area(QPoint(0, 0), paintGraph->Widget()->size());
    const QFont font = Application()->DefaultFont();
    const TGraphLayout g = Layout(QFontMetrics(font), area, record);
    if (!frameLayout || !(*frameLayout == g)) {
        const qreal ratio = paintGraph->Widget()->devicePixelRatioF();
        frameImage = QImage(area.size() * ratio, QImage::Format_RGB32);
        frameImage.setDevicePixelRatio(ratio);
        QPainter fp(&frameImage);
        fp.setFont(font);
        PaintFrame(fp, g);
        frameLayout = std::make_shared<TGraphLayout>(g);
    }
    p.drawImage(QPoint(0, 0), frameImage);
    p.setFont(font);
    if (record) PaintData(p, g, *record);
}

bool TfrmGraph::SaveResults(const UnicodeString& csvPath) {
    const QString csvName = Q(csvPath);
    const QFileInfo info(csvName);
    const QString pngName = info.path() + "/" + info.completeBaseName() + ".png";
    QString failure;
    if (!record || record->Samples().empty()) {
        failure = QStringLiteral("There are no results to save yet");
    } else {
        // Both files are written in full beside their final names and only
        // then put in place, so a failure leaves earlier files whole.
        const std::string csv = Benchmark::ToCsv(*record);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!GraphImage().save(&buffer, "PNG")) failure = QStringLiteral("the picture could not be made");
        QSaveFile csvFile(csvName), pngFile(pngName);
        auto write = [&](QSaveFile& f, const char* data, qint64 size) {
            if (!failure.isEmpty()) return;
            if (!f.open(QIODevice::WriteOnly) || f.write(data, size) != size)
                failure = f.fileName() + ": " + f.errorString();
        };
        write(csvFile, csv.data(), qint64(csv.size()));
        write(pngFile, png.constData(), png.size());
        if (failure.isEmpty() && !csvFile.commit()) failure = csvName + ": " + csvFile.errorString();
        if (failure.isEmpty() && !pngFile.commit()) failure = pngName + ": " + pngFile.errorString();
        if (!failure.isEmpty()) {
            csvFile.cancelWriting();
            pngFile.cancelWriting();
        }
    }
    if (failure.isEmpty()) return true;
    MessageDlg("Cannot save the results - " + FromQString(failure), TMsgDlgType::mtError, mbOK);
    return false;
}

void TfrmGraph::buttonSaveClick(System::TObject*) {
    if (!record || record->Samples().empty()) return;
    // Each test gets a name of its own, in the folder chosen last time.
    char name[64];
    std::tm tm{};
    const std::time_t t = record->Description().Started;
    ::localtime_r(&t, &tm);
    std::strftime(name, sizeof name, "pelorin-%Y%m%d-%H%M%S.csv", &tm);
    const QString folder = dialogSave->FileName.IsEmpty() ? QString() : QFileInfo(Q(dialogSave->FileName)).path() + "/";
    dialogSave->FileName = FromQString(folder + QString::fromLatin1(name));
    if (!dialogSave->Execute()) return;
    SaveResults(dialogSave->FileName);
}
