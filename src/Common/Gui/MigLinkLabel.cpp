// Links reached with the keyboard.
#include "Common/Gui/MigLinkLabel.h"

#include <QFocusEvent>
#include <QKeyEvent>

namespace tavir::gui {

MigLinkLabel::MigLinkLabel(const QString& text)
    : QLabel(text)
{
    setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
}

void MigLinkLabel::focusInEvent(QFocusEvent* event)
{
    QLabel::focusInEvent(event);
    // The first link coming forwards, the last coming back.
    if (event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason)
        focusNextPrevChild(event->reason() == Qt::TabFocusReason);
}

void MigLinkLabel::keyPressEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QLabel::keyPressEvent(event);
        return;
    }
    event->accept();
    emit linkActivated(QString());
}

} // namespace tavir::gui
