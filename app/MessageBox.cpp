#include "app/MessageBox.h"

#include <QApplication>
#include <QMessageBox>

bool MessageBox::s_recording = false;
QStringList MessageBox::s_recorded;

void MessageBox::ShowError(QWidget* parent, const QString& text) {
    if (s_recording) {
        s_recorded.append(text);
        return;
    }
    QMessageBox::warning(parent, QApplication::applicationName(), text);
}

void MessageBox::SetRecording(bool recording) {
    s_recording = recording;
    s_recorded.clear();
}

QStringList MessageBox::TakeRecorded() {
    QStringList recorded;
    recorded.swap(s_recorded);
    return recorded;
}
