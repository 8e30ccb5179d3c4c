// Answers the modal message boxes and file dialogs that the code under test
// opens with exec(), the way a user at the screen would, and records what they showed.
//
//   auto box = ModalAnswer::messageBox(QMessageBox::Ok);   // arm first
//   window.someSlot();                                      // runs exec() inside
//   QVERIFY(box->seen);
//   QCOMPARE(box->text, "...");
//
// Armed answers wait in a queue; whenever a modal widget of their kind is on top,
// the oldest matching answer takes it. Nothing is answered that was not armed.
#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct SeenMessageBox {
    bool seen = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
    bool hasParent = false;
    QWidget *parent = nullptr;
    bool pressed = false; // false when the box had no button to press (it was then rejected)
};

struct SeenFileDialog {
    bool seen = false;
    QString title;
    QString directory; // the directory the dialog opened in
    QStringList nameFilters;
    bool saving = false; // AcceptSave rather than AcceptOpen
    QWidget *parent = nullptr;
};

namespace ModalAnswer {

// Call once at the start of a GUI test: Qt's own dialogs rather than the
// platform's, and settings kept in `settingsDir` instead of the user's store.
void prepare(const QString &settingsDir);

// Presses `button` on the next message box.
std::shared_ptr<SeenMessageBox> messageBox(QMessageBox::StandardButton button);

// Types `path` into the next file dialog and accepts it, as a user choosing that
// file would; an empty path cancels the dialog instead. `afterAccept` runs once the
// dialog has closed and before the code under test gets the path back (to make
// the chosen file vanish, say).
std::shared_ptr<SeenFileDialog> fileDialog(const QString &path, std::function<void()> afterAccept = {});

// Runs `act` on the next modal widget for which `fits` holds (a dialog of the
// tool's own, say). The flag turns true once it has run.
std::shared_ptr<bool> widget(std::function<bool(QWidget *)> fits, std::function<void(QWidget *)> act);

// True when every armed answer has been used.
bool allAnswered();

// Drops answers that were never used, so one test cannot leak into the next.
void reset();

} // namespace ModalAnswer
