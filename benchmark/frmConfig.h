// The configuration dialog: the six benchmark settings, edited and checked
// before they are stored.
#pragma once
#include "RozavUde/Forms/WindowsForm.h"
#include "benchmark/AppSettings.h"
#include "vcl/ComCtrls.h"
#include "vcl/ExtCtrls.h"
#include "vcl/StdCtrls.h"

class TfrmConfig : public System::TWindowsForm {
public:
    NORVANE_CLASS_INFO()
    explicit TfrmConfig(System::Classes::TComponent* owner);

    // Fills the controls from the settings; EArgument "transferMode" when
    // the stored mode is none of the three choices.
    void LoadSettings(System::TWindowsForm* mainWindow);
    // Writes the controls back (after OK).
    void StoreSettings();
    // Exception "<text> is not a valid integer" with the focus on the edit.
    void ValidateInteger(Vcl::TLabeledEdit* edit, const UnicodeString& text);
    void ValidateAll();
    void FormCloseQuery(System::TObject* sender, bool& canClose);

    System::TWindowsForm* GetMainWindow() const { return mainWindow; }

    Vcl::TGroupBox* GroupBox1;
    Vcl::TLabeledEdit* editIpAddress;
    Vcl::TLabeledEdit* editPort;
    Vcl::TGroupBox* GroupBox2;
    Vcl::TLabeledEdit* editTestDuration;
    Vcl::TLabel* Label3;
    Vcl::TLabeledEdit* editPacketSize;
    Vcl::TLabel* Label2;
    Vcl::TLabeledEdit* editNumConnections;
    Vcl::TUpDown* updownConnections;
    Vcl::TLabel* Label1;
    Vcl::TPanel* Panel1;
    Vcl::TRadioButton* radioSendAndReceive;
    Vcl::TRadioButton* radioSendOnly;
    Vcl::TRadioButton* radioReceiveOnly;
    Vcl::TButton* buttonOk;
    Vcl::TButton* buttonCancel;

private:
    TAppSettings& Settings() const;
    System::TWindowsForm* mainWindow = nullptr;
};
