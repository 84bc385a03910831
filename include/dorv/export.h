// Export control for DorvStorageLib.
//
// Everything in the library is hidden unless it is marked DORV_API. Plain
// functions and exported data use C linkage (DORV_C_BEGIN / DORV_C_END) so
// that the host tool finds them by their plain names; classes and the few
// decorated functions keep C++ linkage.
#ifndef DORV_EXPORT_H
#define DORV_EXPORT_H

#if defined(_WIN32)
#  if defined(DORV_BUILDING_LIBRARY)
#    define DORV_API __declspec(dllexport)
#  else
#    define DORV_API __declspec(dllimport)
#  endif
#else
#  define DORV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define DORV_C_BEGIN extern "C" {
#  define DORV_C_END }
#else
#  define DORV_C_BEGIN
#  define DORV_C_END
#endif

#endif
