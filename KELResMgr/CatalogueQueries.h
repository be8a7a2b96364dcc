// The six catalogue queries: one HTTP GET each to the catalogue web service.
#pragma once

#include <cstdint>

namespace kel::catalogue {

int GetResourceDescription(const char* input, const char* author, char* buffer,
                           uint32_t buffer_size);
bool UpdateResourceDescription(const char* input, const char* description, const char* author);
int GetResIDState(const char* resource_id);
int GetResourceID(const char* input, const char* author, char* buffer, int32_t buffer_size);
int ValidResID(const char* resource_id, const char* author);
int InvalidResID(const char* resource_id);

}  // namespace kel::catalogue
