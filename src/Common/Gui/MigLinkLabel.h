#pragma once
// A rich-text label with one link, reached with Tab and opened with Enter
// as a button is. A plain label's first Tab stop shows no focus, and Enter
// there presses the wizard's default button; here Tab puts the focus on the
// link at once, and Enter activates it (linkActivated with an empty target,
// which the wizard's links do not use) wherever the focus came from.
#include <QLabel>

namespace tavir::gui {

class MigLinkLabel : public QLabel {
public:
    explicit MigLinkLabel(const QString& text);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace tavir::gui
