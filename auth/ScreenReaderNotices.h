#pragma once

namespace velmora {

// Labels of the form marked with the property accessibleNotice tell of a change of state (the
// loading page, the connected page). Screen readers read such a text out when it comes into view
// only if it is a notification, not a plain label: this makes those labels notifications. Call it
// before the form is built; calling it again does nothing.
void announceNoticesToScreenReaders();

} // namespace velmora
