// Answers the modal boxes and dialogs a GUI test runs into, and records what they showed.

#include "tests/support/modalanswer.h"

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

// One armed answer: whether it fits the widget on top, and what it does to it.
struct Answer {
    std::function<bool(QWidget *)> fits;
    std::function<void(QWidget *)> act;
};

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
        if (!timer.isActive())
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
            if (!it->fits(top))
                continue;
            // Taken off the queue, and acting from a queued call rather than from
            // this timer tick: acting may open another modal widget (a
            // confirmation), and Qt does not fire a timer again inside its own tick.
            const Answer answer = *it;
            pending.erase(it);
            if (pending.empty())
                timer.stop();
            lastTaken = top;
            QPointer<QWidget> target = top;
            QTimer::singleShot(0, this, [answer, target] {
                if (target)
                    answer.act(target);
            });
            return;
        }
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
    answerer().arm({[](QWidget *top) { return qobject_cast<QMessageBox *>(top) != nullptr; },
                    [seen, button](QWidget *top) {
                        auto *box = static_cast<QMessageBox *>(top);
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
                    }});
    return seen;
}

std::shared_ptr<SeenFileDialog> fileDialog(const QString &path, std::function<void()> afterAccept)
{
    auto seen = std::make_shared<SeenFileDialog>();
    answerer().arm({[](QWidget *top) { return qobject_cast<QFileDialog *>(top) != nullptr; },
                    [seen, path, afterAccept](QWidget *top) {
                        auto *dialog = static_cast<QFileDialog *>(top);
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
                            if (afterAccept && !dialog->isVisible())
                                afterAccept();
                        }
                    }});
    return seen;
}

std::shared_ptr<bool> widget(std::function<bool(QWidget *)> fits, std::function<void(QWidget *)> act)
{
    auto done = std::make_shared<bool>(false);
    answerer().arm({std::move(fits), [done, act](QWidget *top) {
                        *done = true;
                        act(top);
                    }});
    return done;
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
