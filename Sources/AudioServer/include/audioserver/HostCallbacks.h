// The host's side of the plug-in interface: the callback table handed to Initialize.
//
// This host keeps no settings storage and runs no reconfiguration: property-change
// notifications are accepted and ignored, storage reads find nothing, storage writes and
// configuration requests are refused ('nope').
#ifndef CORVESSA_AUDIOSERVER_HOST_CALLBACKS_H
#define CORVESSA_AUDIOSERVER_HOST_CALLBACKS_H

#include "platform/AudioServerPlugIn.h"

namespace audioserver {

/// The process-wide host table (stateless, valid for the life of the process).
const AudioServerPlugInHostInterface* hostCallbacks() noexcept;

}  // namespace audioserver

#endif
