#include "benchmark/frmConfig.h"

#include "benchmark/GlobalSettings.h"
#include "core/Exceptions.h"
#include "rtl/Conversions.h"
#include "vcl/Application.h"
#include "vcl/Dialogs.h"

using namespace Vcl;
using System::Sysutils::IntToStr;
using System::Sysutils::StrToInt;
using System::Sysutils::TryStrToInt;

namespace {
// The largest packet size in KB whose byte count fits the stored integer.
constexpr int kMaxPacketSizeKb = 0x7FFFFFFF >> 10;

TLabeledEdit* MakeEdit(TComponent* owner, TWinControl* parent, const char* name, const char* label, int left, int top,
                       int width) {
    auto* e = new TLabeledEdit(owner);
    e->SetName(name);
    e->SetParent(parent);
    e->SetEditBounds(left, top, width, 21);
    e->EditLabel()->SetCaption(label);
    return e;
}
} // namespace

System::TClass TfrmConfig::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TfrmConfig, System::TWindowsForm>("TfrmConfig", "frmConfig").Build();
    return &cls;
}

TfrmConfig::TfrmConfig(System::Classes::TComponent* owner) : TWindowsForm(owner) {
    SetName("frmConfig");
    SetCaption(Application()->GetTitle() + " Config");
    SetBorderStyle(TFormBorderStyle::bsDialog);
    SetPosition(TPosition::poOwnerFormCenter);
    SetClientSize(349, 358);

    GroupBox1 = CreateControl<TGroupBox>(this, this, "GroupBox1", 8, 8, 333, 118);
    GroupBox1->SetCaption(" Server Settings ");
    editIpAddress = MakeEdit(this, GroupBox1, "editIpAddress", "Server Address:", 16, 40, 301);
    editIpAddress->SetText("127.0.0.1");
    editPort = MakeEdit(this, GroupBox1, "editPort", "Server Port:", 16, 84, 89);
    editPort->SetText("8998");

    GroupBox2 = CreateControl<TGroupBox>(this, this, "GroupBox2", 8, 134, 333, 180);
    GroupBox2->SetCaption(" Test Settings ");
    editTestDuration = MakeEdit(this, GroupBox2, "editTestDuration", "Test Duration:", 16, 40, 89);
    editTestDuration->SetText("10");
    Label3 = CreateControl<TLabel>(this, GroupBox2, "Label3", 111, 44, 40, 14);
    Label3->SetCaption("secs");
    editPacketSize = MakeEdit(this, GroupBox2, "editPacketSize", "Packet Size:", 176, 40, 89);
    editPacketSize->SetText("1024");
    Label2 = CreateControl<TLabel>(this, GroupBox2, "Label2", 271, 44, 40, 14);
    Label2->SetCaption("KB");
    editNumConnections = MakeEdit(this, GroupBox2, "editNumConnections", "Connections:", 16, 84, 89);
    editNumConnections->SetReadOnly(true);
    editNumConnections->SetNumbersOnly(true);
    updownConnections = new TUpDown(this);
    updownConnections->SetName("updownConnections");
    updownConnections->SetParent(GroupBox2);
    updownConnections->SetRange(1, 20);
    updownConnections->SetAssociate(editNumConnections);
    updownConnections->SetPosition(1);

    Label1 = CreateControl<TLabel>(this, GroupBox2, "Label1", 16, 118, 120, 14);
    Label1->SetCaption("Transfer Mode:");
    Panel1 = CreateControl<TPanel>(this, GroupBox2, "Panel1", 16, 134, 305, 34);
    Panel1->SetBevel(false);
    radioSendAndReceive = CreateControl<TRadioButton>(this, Panel1, "radioSendAndReceive", 0, 8, 118, 18);
    radioSendAndReceive->SetCaption("Send And Receive");
    radioSendAndReceive->SetChecked(true);
    radioSendOnly = CreateControl<TRadioButton>(this, Panel1, "radioSendOnly", 124, 8, 82, 18);
    radioSendOnly->SetCaption("Send Only");
    radioReceiveOnly = CreateControl<TRadioButton>(this, Panel1, "radioReceiveOnly", 212, 8, 93, 18);
    radioReceiveOnly->SetCaption("Receive Only");

    buttonOk = CreateControl<TButton>(this, this, "buttonOk", 185, 324, 75, 25);
    buttonOk->SetCaption("&OK");
    buttonOk->ModalResult = mrOk;
    buttonOk->SetDefault(true);
    buttonCancel = CreateControl<TButton>(this, this, "buttonCancel", 266, 324, 75, 25);
    buttonCancel->SetCaption("&Cancel");
    buttonCancel->ModalResult = mrCancel;
    buttonCancel->SetCancel(true);

    OnCloseQuery = [this](System::TObject* sender, bool& canClose) { FormCloseQuery(sender, canClose); };
}

TAppSettings& TfrmConfig::Settings() const {
    TAppSettings* s = Benchmark::GetAppSettings();
    if (!s) throw System::Sysutils::EInvalidOperation("The settings are not loaded");
    return *s;
}

void TfrmConfig::LoadSettings(System::TWindowsForm* mainWindow_) {
    mainWindow = mainWindow_;
    TAppSettings& s = Settings();
    editIpAddress->SetText(s.GetIpAddress());
    editPort->SetText(IntToStr(s.get_int(TAppSettings::KeyPort, TAppSettings::DefaultPort)));
    editPacketSize->SetText(IntToStr(s.get_int(TAppSettings::KeyTestPacketSize, TAppSettings::DefaultTestPacketSize) / 1024));
    editTestDuration->SetText(
        IntToStr(s.get_int(TAppSettings::KeyTestDurationSec, TAppSettings::DefaultTestDurationSec)));
    updownConnections->SetPosition(
        s.get_int(TAppSettings::KeyNumberOfConnections, TAppSettings::DefaultNumberOfConnections));
    switch (TransferMode::Parse(s.GetTransferMode())) {
    case TransferMode::SendOnly: radioSendOnly->SetChecked(true); break;
    case TransferMode::ReceiveOnly: radioReceiveOnly->SetChecked(true); break;
    case TransferMode::SendAndReceive: radioSendAndReceive->SetChecked(true); break;
    default: throw System::EArgument("transferMode");
    }
}

void TfrmConfig::StoreSettings() {
    TAppSettings& s = Settings();
    s.SetIpAddress(editIpAddress->GetText());
    s.SetPort(StrToInt(editPort->GetText()));
    s.SetTestPacketSize(StrToInt(editPacketSize->GetText()) * 1024);
    s.SetTestDurationSec(StrToInt(editTestDuration->GetText()));
    s.SetNumberOfConnections(updownConnections->GetPosition());
    TransferMode::Enum mode = TransferMode::Unknown;
    if (radioSendAndReceive->GetChecked()) mode = TransferMode::SendAndReceive;
    else if (radioSendOnly->GetChecked()) mode = TransferMode::SendOnly;
    else if (radioReceiveOnly->GetChecked()) mode = TransferMode::ReceiveOnly;
    s.SetTransferMode(TransferMode::ToString(mode));
}

void TfrmConfig::ValidateInteger(TLabeledEdit* edit, const UnicodeString& text) {
    int value;
    if (TryStrToInt(text, value)) return;
    edit->SetFocus();
    throw Exception(text + " is not a valid integer");
}

void TfrmConfig::ValidateAll() {
    ValidateInteger(editPort, editPort->GetText());
    ValidateInteger(editPacketSize, editPacketSize->GetText());
    // Stored in bytes: a size whose byte count does not fit would be
    // stored as a different, wrong number.
    const int kb = StrToInt(editPacketSize->GetText());
    if (kb < -kMaxPacketSizeKb - 1 || kb > kMaxPacketSizeKb) {
        editPacketSize->SetFocus();
        throw Exception(editPacketSize->GetText() + " KB is too large a packet size (at most " +
                        IntToStr(kMaxPacketSizeKb) + " KB)");
    }
    ValidateInteger(editTestDuration, editTestDuration->GetText());
}

void TfrmConfig::FormCloseQuery(System::TObject*, bool& canClose) {
    if (GetModalResult() != mrOk) return;
    canClose = false;
    try {
        ValidateAll();
    } catch (const Exception& e) {
        MessageDlg("Error: " + e.Message(), TMsgDlgType::mtError, mbOK);
        return;
    }
    canClose = true;
}
