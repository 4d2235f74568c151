#include "app/ControlId.h"

#include <QVariant>
#include <QWidget>

namespace {
const char* const CONTROL_ID = "controlId";
} // namespace

void SetControlId(QWidget* widget, int id, const char* symbol) {
    widget->setObjectName(QString::fromLatin1(symbol));
    widget->setProperty(CONTROL_ID, id);
}

QWidget* FindControl(const QObject* window, int id) {
    if (!window) {
        return nullptr;
    }
    const QList<QWidget*> widgets = window->findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        if (ControlIdOf(widget) == id) {
            return widget;
        }
    }
    return nullptr;
}

int ControlIdOf(const QWidget* widget) {
    const QVariant id = widget->property(CONTROL_ID);
    return id.isValid() ? id.toInt() : 0;
}
