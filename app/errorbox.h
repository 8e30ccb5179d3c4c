// The one way the tool reports a failure to the user.
#pragma once

class QString;
class QWidget;

// Shows a modal critical box: parent `parent`, title "Ошибка", `message` as its
// text, a single Ok button and no default button. Returns when it is closed.
void showErrorBox(QWidget *parent, const QString &message);
