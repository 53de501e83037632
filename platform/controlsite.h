#pragma once
// What a host offers a control it embeds: ambient user mode, change notification, message boxes.

#include "velmora_platform_export.h"

#include <QString>

class QWidget;

namespace platform {

/// Message-box styles a control passes to its site.
namespace mbstyle {
inline constexpr int OkOnly = 0;
inline constexpr int Question = 32;
} // namespace mbstyle

/// The host side of an embedded control.
class VELMORA_PLATFORM_EXPORT ControlSite
{
public:
    virtual ~ControlSite();
    /// True while the host runs, false in its design mode.
    virtual bool ambientUserMode() const = 0;
    /// The control's property `name` changed through its put accessor.
    virtual void propertyChanged(const QString &name) = 0;
    /// Shows a modal message box; an empty title stands for the host application's display name.
    /// Returns the button pressed (1 = OK).
    virtual int messageBox(const QString &text, int style, const QString &title) = 0;
};

/// The site a control uses when its host gives none: user mode on, notifications dropped,
/// message boxes shown with QMessageBox.
class VELMORA_PLATFORM_EXPORT DefaultControlSite : public ControlSite
{
public:
    bool ambientUserMode() const override { return true; }
    void propertyChanged(const QString &) override {}
    int messageBox(const QString &text, int style, const QString &title) override;

    /// The shared default site.
    static DefaultControlSite &instance();
};

/// Shows a modal QMessageBox with one OK button; style 32 adds the question-mark icon. With an
/// `owner` the box is modal to the owner's window only; without one it belongs to the active window.
VELMORA_PLATFORM_EXPORT int showMessageBox(const QString &text, int style, const QString &title,
                                           QWidget *owner = nullptr);

} // namespace platform
