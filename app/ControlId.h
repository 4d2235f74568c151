#pragma once

class QObject;
class QWidget;

// Control ids as widget identifiers: SetControlId gives a widget its id (the
// dynamic property "controlId") and its symbol (the object name, e.g.
// "IDC_BTN_ADD"); FindControl looks a control up by id among the descendants of
// a window, as a lookup by id does: nullptr when there is none.
void SetControlId(QWidget* widget, int id, const char* symbol);
QWidget* FindControl(const QObject* window, int id);
int ControlIdOf(const QWidget* widget); // 0 when the widget has none
