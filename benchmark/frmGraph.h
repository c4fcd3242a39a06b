// The graph window: the current and average send and receive rates of the
// latest test, second by second, drawn as it runs and kept after it; saves
// the figures as CSV and the picture as PNG.
#pragma once
#include <memory>

#include <QImage>

#include "RozavUde/Forms/WindowsForm.h"
#include "benchmark/ThroughputRecord.h"
#include "vcl/Dialogs.h"
#include "vcl/ExtCtrls.h"
#include "vcl/StdCtrls.h"

class QPainter;

class TfrmGraph : public System::TWindowsForm {
public:
    NORVANE_CLASS_INFO()
    explicit TfrmGraph(System::Classes::TComponent* owner);

    // The figures to show, owned by the main window, which calls
    // RecordChanged after each change.
    void SetRecord(const Benchmark::TThroughputRecord* record);
    void RecordChanged();

    // Writes the figures to csvPath and the picture beside it (the same
    // name ending in ".png"). A failure shows an error box, leaves any
    // earlier files as they were and returns false.
    bool SaveResults(const UnicodeString& csvPath);
    void buttonSaveClick(System::TObject* sender);

    // The graph as it looks on screen.
    QImage GraphImage() const { return paintGraph->Grab(); }
    // Draws the graph of `record` into `area`.
    static void PaintGraph(QPainter& canvas, const QRect& area, const Benchmark::TThroughputRecord* record);
    // "127.0.0.1:8998, 20 connections, SendAndReceive, packets of 2,048 KB,
    // 10 s" and, on a second line, "Started <time>".
    static UnicodeString DescriptionText(const Benchmark::TTestDescription& d);

    // Scales and places of one drawing.
    struct TLayout;

    Vcl::TPaintBox* paintGraph;
    Vcl::TLabel* labelTest;
    Vcl::TButton* buttonSave;
    Vcl::TSaveDialog* dialogSave;

private:
    void PaintBox(QPainter& canvas);

    const Benchmark::TThroughputRecord* record = nullptr;
    // The frame drawn last, and for which layout.
    QImage frameImage;
    std::shared_ptr<TLayout> frameLayout;
};
