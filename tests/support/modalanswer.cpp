#include "support/modalanswer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QSettings>
#include <QTimer>

#include <deque>
#include <functional>

namespace {

// One armed answer: tries the widget on top and says whether it took it.
using Answer = std::function<bool(QWidget *)>;

class Answerer : public QObject
{
public:
    Answerer()
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, &Answerer::poll);
    }

    void arm(Answer answer)
    {
        pending.push_back(std::move(answer));
        timer.start();
    }

    bool idle() const { return pending.empty(); }

    void reset()
    {
        pending.clear();
        timer.stop();
    }

private:
    void poll()
    {
        QWidget *top = QApplication::activeModalWidget();
        if (top == nullptr || top == lastTaken || !top->isVisible())
            return;
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            Answer answer = *it;
            lastTaken = top;
            if (answer(top)) {
                pending.erase(it);
                break;
            }
            lastTaken = nullptr;
        }
        if (pending.empty())
            timer.stop();
    }

    QTimer timer;
    std::deque<Answer> pending;
    QPointer<QWidget> lastTaken;
};

Answerer &answerer()
{
    static Answerer *instance = new Answerer;
    return *instance;
}

} // namespace

namespace ModalAnswer {

void prepare(const QString &settingsDir)
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir);
}

std::shared_ptr<SeenMessageBox> messageBox(QMessageBox::StandardButton button)
{
    auto seen = std::make_shared<SeenMessageBox>();
    answerer().arm([seen, button](QWidget *top) {
        auto *box = qobject_cast<QMessageBox *>(top);
        if (box == nullptr)
            return false;
        seen->seen = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        for (QAbstractButton *b : box->buttons())
            seen->buttons.append(box->standardButton(b));
        seen->parent = box->parentWidget();
        seen->hasParent = seen->parent != nullptr;
        if (QAbstractButton *target = box->button(button)) {
            seen->pressed = true;
            target->click();
        } else {
            box->reject();
        }
        return true;
    });
    return seen;
}

std::shared_ptr<SeenFileDialog> fileDialog(const QString &path)
{
    auto seen = std::make_shared<SeenFileDialog>();
    answerer().arm([seen, path](QWidget *top) {
        auto *dialog = qobject_cast<QFileDialog *>(top);
        if (dialog == nullptr)
            return false;
        seen->seen = true;
        seen->title = dialog->windowTitle();
        seen->directory = dialog->directory().absolutePath();
        seen->nameFilters = dialog->nameFilters();
        seen->saving = dialog->acceptMode() == QFileDialog::AcceptSave;
        seen->parent = dialog->parentWidget();
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            // Typed into the name field, as a user would: selectFile() leaves the
            // field alone while it has the focus.
            if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                edit->setText(path);
            else
                dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept(); // QFileDialog hides its override
        }
        return true;
    });
    return seen;
}

bool allAnswered()
{
    return answerer().idle();
}

void reset()
{
    answerer().reset();
}

} // namespace ModalAnswer
