#pragma once
// The contract between a host and any control it embeds.

#include "velmora_platform_export.h"

class QWidget;

namespace platform {

class ControlSite;
class Dispatch;
class EventSink;
class PropertyBag;

/// What a host needs of an embedded control.
class VELMORA_PLATFORM_EXPORT Control
{
public:
    virtual ~Control();
    /// The control's automation interface.
    virtual Dispatch &dispatch() = 0;
    /// The control's face; the host places it and owns it (deleting it ends the control).
    virtual QWidget *widget() = 0;
    /// The host's services; nullptr reverts to the default site.
    virtual void setSite(ControlSite *site) = 0;
    /// Brings a new instance, one without stored properties, to its initial values.
    virtual void initNew() = 0;
    /// Restores stored properties; fails with the error of the first key that cannot be read.
    virtual void load(const PropertyBag &bag) = 0;
    /// Stores the persisted properties; fails with the error of the first key that cannot be written.
    virtual void save(PropertyBag &bag) = 0;
    /// Adds a receiver of the control's events.
    virtual void advise(EventSink *sink) = 0;
    /// Removes a receiver added with advise().
    virtual void unadvise(EventSink *sink) = 0;
};

} // namespace platform
