#pragma once

#include "app/widgets.h"

#include <QPointer>
#include <QString>

#include <functional>

namespace app {

// The explanation window: what the utility does and what to check when the
// microphone stays silent, with a button that opens the recording-volume
// panel. Modeless and owned by the main window; it deletes itself when
// closed, and the next showing is a new window.
class Form2 : public QWidget {
    Q_OBJECT
public:
    static const QString ExplanationText;
    // Where the panel button sits: in the run of blanks after this text.
    static const QString PanelPrompt;

    explicit Form2(QWidget* owner);

    WrappedTextLabel* Label1;
    CommandButton* Command1;

    // Starts the recording-volume panel; replaceable in tests. The default
    // runs `pavucontrol --tab=4` (its input-devices tab) detached, and shows
    // nothing if it cannot be started.
    static std::function<void()> startRecordingPanel;

    // Shows the window centred over its owner, or brings it forward.
    void showOverOwner();

signals:
    // After the window has gone: the owner takes the focus back.
    void unloaded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Command1_Click();
    void Form_Unload();
    void placePanelButton();
};

} // namespace app
