#include "vcl/Dialogs.h"

#include <mutex>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include "vcl/Application.h"

namespace Vcl {

namespace {

std::mutex g_presenterLock;
TMessagePresenter g_presenter;
TFileDialogPresenter g_filePresenter;

// "A|*.a|B|*.b" in the toolkit's form is "A (*.a);;B (*.b)" in Qt's.
QString QtFilter(const UnicodeString& filter) {
    const QStringList parts = ToQString(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString pattern = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
        out << (parts[i].contains(QLatin1Char('(')) ? parts[i] : parts[i] + " (" + pattern + ")");
    }
    return out.join(QStringLiteral(";;"));
}

bool ShowQtSaveDialog(TSaveDialog& d) {
    QFileDialog f(QApplication::activeWindow(), ToQString(d.Title), ToQString(d.FileName), QtFilter(d.Filter));
    f.setAcceptMode(QFileDialog::AcceptSave);
    f.setFileMode(QFileDialog::AnyFile);
    if (!d.DefaultExt.IsEmpty()) f.setDefaultSuffix(ToQString(d.DefaultExt));
    if (!d.FileName.IsEmpty()) f.selectFile(ToQString(d.FileName));
    if (f.exec() != QDialog::Accepted || f.selectedFiles().isEmpty()) return false;
    d.FileName = FromQString(f.selectedFiles().front());
    return true;
}

TModalResult ShowQtBox(const TMessageBox& box) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (box.type) {
    case TMsgDlgType::mtWarning: icon = QMessageBox::Warning; break;
    case TMsgDlgType::mtError: icon = QMessageBox::Critical; break;
    case TMsgDlgType::mtInformation: icon = QMessageBox::Information; break;
    case TMsgDlgType::mtConfirmation: icon = QMessageBox::Question; break;
    case TMsgDlgType::mtCustom: break;
    }
    QMessageBox m(icon, ToQString(box.caption), ToQString(box.text).replace("\r\n", "\n"));
    m.setFont(Application()->DefaultFont());
    struct entry {
        TMsgDlgBtn flag;
        const char* text;
        QMessageBox::ButtonRole role;
        TModalResult result;
    };
    static const entry table[] = {
        {mbYes, "&Yes", QMessageBox::YesRole, mrYes},          {mbNo, "&No", QMessageBox::NoRole, mrNo},
        {mbOK, "OK", QMessageBox::AcceptRole, mrOk},           {mbCancel, "Cancel", QMessageBox::RejectRole, mrCancel},
        {mbAbort, "&Abort", QMessageBox::RejectRole, mrAbort}, {mbRetry, "&Retry", QMessageBox::AcceptRole, mrRetry},
        {mbIgnore, "&Ignore", QMessageBox::DestructiveRole, mrIgnore},
    };
    std::vector<std::pair<QAbstractButton*, TModalResult>> made;
    for (const entry& e : table) {
        if (!(box.buttons & e.flag)) continue;
        QPushButton* b = m.addButton(QString::fromUtf8(e.text), e.role);
        made.emplace_back(b, e.result);
    }
    if (made.empty()) made.emplace_back(m.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole), mrOk);
    m.setDefaultButton(static_cast<QPushButton*>(made.front().first));
    m.exec();
    for (auto& [b, r] : made)
        if (m.clickedButton() == b) return r;
    // Closed by the window's close box.
    return (box.buttons & mbCancel) ? mrCancel : (made.size() == 1 ? made.front().second : mrCancel);
}

} // namespace

TMessagePresenter SetMessagePresenter(TMessagePresenter presenter) {
    std::lock_guard<std::mutex> g(g_presenterLock);
    std::swap(g_presenter, presenter);
    return presenter;
}

TFileDialogPresenter SetFileDialogPresenter(TFileDialogPresenter presenter) {
    std::lock_guard<std::mutex> g(g_presenterLock);
    std::swap(g_filePresenter, presenter);
    return presenter;
}

bool TSaveDialog::Execute() {
    TFileDialogPresenter p;
    {
        std::lock_guard<std::mutex> g(g_presenterLock);
        p = g_filePresenter;
    }
    return p ? p(*this) : ShowQtSaveDialog(*this);
}

TModalResult MessageBox(const UnicodeString& caption, const UnicodeString& text, TMsgDlgType type,
                        TMsgDlgButtons buttons) {
    TMessagePresenter p;
    {
        std::lock_guard<std::mutex> g(g_presenterLock);
        p = g_presenter;
    }
    const TMessageBox box{caption, text, type, buttons};
    return p ? p(box) : ShowQtBox(box);
}

TModalResult MessageDlg(const UnicodeString& text, TMsgDlgType type, TMsgDlgButtons buttons) {
    return MessageBox(Application()->GetTitle(), text, type, buttons);
}

} // namespace Vcl
