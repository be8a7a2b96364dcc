// Symbols of libKELPlatform.so that the library and hosts call.
#pragma once

#define KELPLATFORM_API __attribute__((visibility("default")))
