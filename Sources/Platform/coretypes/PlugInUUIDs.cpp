// The constant UUIDs of the audio-server plug-in interface.
#include "CFObject.h"
#include "platform/AudioServerPlugIn.h"

using platform::cf::TypeTag;

namespace {

constinit __CFUUID gPlugInType{{{1}, TypeTag::uuid, nullptr},
                               {0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, 0xBE,
                                0xB9, 0x18, 0x70, 0x30, 0xDB}};
constinit __CFUUID gDriverInterface{{{1}, TypeTag::uuid, nullptr},
                                    {0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E, 0x00,
                                     0x8F, 0x96, 0xE7, 0xD2, 0x3B, 0x17}};
constinit __CFUUID gIUnknown{{{1}, TypeTag::uuid, nullptr},
                             {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace

const CFUUIDRef kAudioServerPlugInTypeUUID = &gPlugInType;
const CFUUIDRef kAudioServerPlugInDriverInterfaceUUID = &gDriverInterface;
const CFUUIDRef IUnknownUUID = &gIUnknown;
