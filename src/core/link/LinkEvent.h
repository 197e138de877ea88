#pragma once
// What happened to a link, as the program passes it on. The USB link tells
// its listeners Attached and Detached; the session adds the others for the
// window. Where a text is wanted (the window's UpdateUIState takes one), each
// has its fixed name.

enum class LinkEvent {
    Attached,    // the device opened: a new attach, logged out
    Detached,    // the device went, or the link stopped
    Resync,      // a change was missed: look at the link again
    CallUp,      // logged in over a call
    CallEnded,   // the call is over
};

// The event's fixed name: "Attached", "Detached", "Resync", "CallUp", "CallEnded".
inline const char* linkEventName(LinkEvent event) {
    static const char* const names[] = {"Attached", "Detached", "Resync", "CallUp", "CallEnded"};
    return names[int(event)];
}
