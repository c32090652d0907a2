#include <windows.h>

#include "resources/resources.h"

namespace Resources {

Range find(int id) {
  HMODULE const module = GetModuleHandleW(nullptr);
  if (!module) return {};
  HRSRC const info = FindResourceW(module, MAKEINTRESOURCEW(id), RT_RCDATA);  // type 10
  if (!info) return {};
  DWORD const size = SizeofResource(module, info);
  if (size == 0) return {};
  HGLOBAL const loaded = LoadResource(module, info);
  if (!loaded) return {};
  auto const* data = static_cast<uint8_t const*>(LockResource(loaded));
  if (!data) return {};
  return Range{data, data + size};
}

}  // namespace Resources
