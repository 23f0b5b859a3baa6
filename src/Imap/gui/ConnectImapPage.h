#pragma once
// The source IMAP server page: host, SSL, and the warning wording of the
// source test.
#include "Common/Gui/MigServerPage.h"

namespace tavir::gui {

class ConnectImapPage : public MigServerPage {
    Q_OBJECT

public:
    explicit ConnectImapPage(int nextId);

protected:
    bool getValidationResult() override;

private:
    // The warning for a failed test (not the Corvane refusal), with what
    // to do about a changed certificate when that was the failure.
    QString failureText(const QString& report);
};

} // namespace tavir::gui
