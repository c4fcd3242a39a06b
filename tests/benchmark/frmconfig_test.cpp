// The configuration dialog, driven as a user drives it.
#include <QAbstractButton>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include "benchmark/frmConfig.h"
#include "core/Exceptions.h"
#include "tests/benchmark/form_fixture.h"
#include "tests/support.h"

using namespace Vcl;
using namespace std::chrono_literals;
using testing_support::MessageBoxCapture;

namespace {

class FrmConfigTest : public testing_support::FormFixture {
protected:
    // Shows the dialog modally and runs `user` in its loop; a deadline
    // cancels a dialog that never closes.
    TModalResult RunModal(TfrmConfig& dlg, std::function<void()> user) {
        QTimer::singleShot(0, user);
        bool timedOut = false;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, [&] {
            timedOut = true;
            dlg.SetModalResult(mrAbort);
        });
        deadline.start(20000);
        const TModalResult r = dlg.ShowModal();
        EXPECT_FALSE(timedOut) << "the dialog did not close";
        return r;
    }
    static void ClickButton(TButton* b) { static_cast<QAbstractButton*>(b->Widget())->click(); }
    static void Type(QWidget* w, const QString& text) {
        for (QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QCoreApplication::sendEvent(w, &press);
        }
    }
};

} // namespace

TEST_F(FrmConfigTest, LoadingTheDefaultsShowsTheDesignedValues) {
    TfrmConfig dlg(nullptr);
    dlg.LoadSettings(nullptr);
    EXPECT_EQ(dlg.GetCaption().ToUtf8(), "Pelorin Config");
    EXPECT_EQ(dlg.GetClientWidth(), 349);
    EXPECT_EQ(dlg.GetClientHeight(), 358);
    EXPECT_EQ(dlg.editIpAddress->GetText().ToUtf8(), "127.0.0.1");
    EXPECT_EQ(dlg.editPort->GetText().ToUtf8(), "8998");
    EXPECT_EQ(dlg.editTestDuration->GetText().ToUtf8(), "10");
    EXPECT_EQ(dlg.editPacketSize->GetText().ToUtf8(), "2048");
    EXPECT_EQ(dlg.editNumConnections->GetText().ToUtf8(), "1");
    EXPECT_EQ(dlg.updownConnections->GetPosition(), 1);
    EXPECT_TRUE(dlg.radioSendAndReceive->GetChecked());
    EXPECT_FALSE(dlg.radioSendOnly->GetChecked());
    EXPECT_FALSE(dlg.radioReceiveOnly->GetChecked());
}

TEST_F(FrmConfigTest, StoredValuesAreLoaded) {
    UseSettings("[Config.Application]\nPort=9100\nIpAddress=bench-host\nTestDurationSec=3\n"
                "TestPacketSize=65536\nNumberOfConnections=7\nTransferMode=SendOnly\n");
    TfrmConfig dlg(nullptr);
    dlg.LoadSettings(nullptr);
    EXPECT_EQ(dlg.editIpAddress->GetText().ToUtf8(), "bench-host");
    EXPECT_EQ(dlg.editPort->GetText().ToUtf8(), "9100");
    EXPECT_EQ(dlg.editTestDuration->GetText().ToUtf8(), "3");
    EXPECT_EQ(dlg.editPacketSize->GetText().ToUtf8(), "64");
    EXPECT_EQ(dlg.editNumConnections->GetText().ToUtf8(), "7");
    EXPECT_TRUE(dlg.radioSendOnly->GetChecked());
}

TEST_F(FrmConfigTest, PacketSizeInKilobytesIsStoredInBytesAfterOk) {
    TfrmConfig dlg(nullptr);
    dlg.LoadSettings(nullptr);
    MessageBoxCapture boxes;
    const TModalResult r = RunModal(dlg, [&] {
        dlg.editPacketSize->Edit()->selectAll();
        Type(dlg.editPacketSize->Edit(), "1024");
        ClickButton(dlg.buttonOk);
    });
    ASSERT_EQ(r, mrOk);
    EXPECT_EQ(boxes.count(), 0u);
    dlg.StoreSettings();
    EXPECT_EQ(Settings().GetTestPacketSize(), 1048576);
    // Everything else keeps its value.
    EXPECT_EQ(Settings().GetPort(), 8998);
    EXPECT_EQ(Settings().GetIpAddress().ToUtf8(), "127.0.0.1");
    EXPECT_EQ(Settings().GetTransferMode().ToUtf8(), "SendAndReceive");
}

TEST_F(FrmConfigTest, ANonIntegerKeepsTheDialogOpenWithTheErrorThenCancelClosesSilently) {
    struct row {
        const char* field;
        TLabeledEdit* TfrmConfig::*edit;
        const char* text;
        const char* message;
    };
    const row rows[] = {
        {"port", &TfrmConfig::editPort, "abc", "Error: abc is not a valid integer"},
        {"packet size", &TfrmConfig::editPacketSize, "12k", "Error: 12k is not a valid integer"},
        {"duration", &TfrmConfig::editTestDuration, "", "Error:  is not a valid integer"},
        {"packet size too large", &TfrmConfig::editPacketSize, "3000000",
         "Error: 3000000 KB is too large a packet size (at most 2097151 KB)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.field);
        TfrmConfig dlg(nullptr);
        dlg.LoadSettings(nullptr);
        TLabeledEdit* edit = dlg.*r.edit;
        MessageBoxCapture boxes;
        bool stayedOpen = false;
        QWidget* focused = nullptr;
        const TModalResult result = RunModal(dlg, [&] {
            edit->SetText(r.text);
            ClickButton(dlg.buttonOk);
            // The close query runs when the modal loop sees the result.
            QTimer::singleShot(20, [&] {
                stayedOpen = dlg.GetShowing() && dlg.GetModalResult() == mrNone && boxes.count() == 1;
                focused = dlg.Widget()->focusWidget();
                boxes.clear();
                ClickButton(dlg.buttonCancel);
            });
        });
        EXPECT_TRUE(stayedOpen);
        EXPECT_EQ(focused, edit->Edit()) << "the focus is not on the offending field";
        EXPECT_EQ(result, mrCancel);
        EXPECT_EQ(boxes.count(), 0u) << "Cancel showed a message";
    }
    // The message itself, separately (the loop above clears it).
    TfrmConfig dlg(nullptr);
    dlg.LoadSettings(nullptr);
    MessageBoxCapture boxes;
    for (const row& r : rows) {
        TLabeledEdit* edit = dlg.*r.edit;
        dlg.LoadSettings(nullptr);
        edit->SetText(r.text);
        dlg.SetModalResult(mrOk);
        bool canClose = true;
        dlg.FormCloseQuery(&dlg, canClose);
        EXPECT_FALSE(canClose) << r.field;
    }
    ASSERT_EQ(boxes.count(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(boxes.texts()[i], rows[i].message);
        EXPECT_EQ(boxes.boxes()[i].type, TMsgDlgType::mtError);
    }
}

TEST_F(FrmConfigTest, ClosingWithCancelOrTheCloseBoxChecksNothing) {
    TfrmConfig dlg(nullptr);
    dlg.LoadSettings(nullptr);
    dlg.editPort->SetText("abc");
    MessageBoxCapture boxes;
    EXPECT_EQ(RunModal(dlg, [&] { dlg.HandleSystemClose(); }), mrCancel);
    EXPECT_EQ(RunModal(dlg, [&] {
                  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                  QCoreApplication::sendEvent(dlg.Widget(), &esc);
              }),
              mrCancel);
    EXPECT_EQ(boxes.count(), 0u);
    EXPECT_EQ(Settings().GetPort(), 8998);
}

TEST_F(FrmConfigTest, ConnectionsCannotBeTypedAndStayWithinOneToTwenty) {
    TfrmConfig dlg(nullptr);
    dlg.LoadSettings(nullptr);
    Type(dlg.editNumConnections->Edit(), "9");
    EXPECT_EQ(dlg.editNumConnections->GetText().ToUtf8(), "1");
    QToolButton* up = dlg.updownConnections->UpButton();
    for (int i = 0; i < 25; ++i) up->click();
    EXPECT_EQ(dlg.updownConnections->GetPosition(), 20);
    EXPECT_EQ(dlg.editNumConnections->GetText().ToUtf8(), "20");
    QToolButton* down = dlg.updownConnections->DownButton();
    for (int i = 0; i < 25; ++i) down->click();
    EXPECT_EQ(dlg.updownConnections->GetPosition(), 1);

    struct row {
        const char* stored;
        int shown;
    };
    for (row r : {row{"0", 1}, row{"-3", 1}, row{"20", 20}, row{"21", 20}}) {
        UseSettings(std::string("[Config.Application]\nNumberOfConnections=") + r.stored + "\n");
        dlg.LoadSettings(nullptr);
        EXPECT_EQ(dlg.updownConnections->GetPosition(), r.shown) << r.stored;
        EXPECT_EQ(dlg.editNumConnections->GetText().ToUtf8(), std::to_string(r.shown));
    }
}

TEST_F(FrmConfigTest, TheCheckedTransferModeIsStoredByName) {
    struct row {
        TRadioButton* TfrmConfig::*radio;
        const char* stored;
    };
    for (row r : {row{&TfrmConfig::radioReceiveOnly, "ReceiveOnly"}, row{&TfrmConfig::radioSendOnly, "SendOnly"},
                  row{&TfrmConfig::radioSendAndReceive, "SendAndReceive"}}) {
        TfrmConfig dlg(nullptr);
        dlg.LoadSettings(nullptr);
        const TModalResult result = RunModal(dlg, [&] {
            static_cast<QAbstractButton*>((dlg.*r.radio)->Widget())->click();
            ClickButton(dlg.buttonOk);
        });
        ASSERT_EQ(result, mrOk);
        dlg.StoreSettings();
        EXPECT_EQ(Settings().GetTransferMode().ToUtf8(), r.stored);
        // Exactly one choice is checked at a time.
        EXPECT_EQ(dlg.radioSendAndReceive->GetChecked() + dlg.radioSendOnly->GetChecked() +
                      dlg.radioReceiveOnly->GetChecked(),
                  1);
    }
}

TEST_F(FrmConfigTest, StoreWritesEveryField) {
    TfrmConfig dlg(nullptr);
    dlg.LoadSettings(nullptr);
    dlg.editIpAddress->SetText(" 10.0.0.9 ");
    dlg.editPort->SetText("9001");
    dlg.editTestDuration->SetText("30");
    dlg.editPacketSize->SetText("4");
    dlg.updownConnections->SetPosition(5);
    dlg.StoreSettings();
    EXPECT_EQ(Settings().GetIpAddress().ToUtf8(), " 10.0.0.9 ") << "the address is stored unchanged";
    EXPECT_EQ(Settings().GetPort(), 9001);
    EXPECT_EQ(Settings().GetTestDurationSec(), 30);
    EXPECT_EQ(Settings().GetTestPacketSize(), 4096);
    EXPECT_EQ(Settings().GetNumberOfConnections(), 5);
}

TEST_F(FrmConfigTest, AStoredModeOutsideTheThreeChoicesRefusesToLoad) {
    struct row {
        const char* stored;
        const char* message;
    };
    for (row r : {row{"Unknown", "transferMode"},
                  row{"Sideways", "argument is not one of the named constants in the enumeration"}}) {
        UseSettings(std::string("[Config.Application]\nTransferMode=") + r.stored + "\n");
        TfrmConfig dlg(nullptr);
        const std::string m = testing_support::message_of<System::EArgument>([&] { dlg.LoadSettings(nullptr); });
        EXPECT_NE(m.find(r.message), std::string::npos) << r.stored << ": " << m;
    }
}
