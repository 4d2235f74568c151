#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// The message boxes the program shows, behind one seam: tests switch it to
// recording mode so that no modal box blocks them, and read what would have
// been shown.
class MessageBox {
public:
    // Shows a modal error box with the given text (the caption is the
    // application's name). In recording mode only records the text.
    static void ShowError(QWidget* parent, const QString& text);

    static void SetRecording(bool recording);
    // The texts recorded since the last call, oldest first; clears the record.
    static QStringList TakeRecorded();

private:
    static bool s_recording;
    static QStringList s_recorded;
};
