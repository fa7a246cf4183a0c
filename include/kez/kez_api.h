/* Declaration helpers shared by every public header of the engine. */
#ifndef KEZ_API_H
#define KEZ_API_H

#if defined(_WIN32)
#if defined(KEZ_BUILDING_ENGINE)
#define KEZ_API /* exports are listed in the module-definition file */
#else
#define KEZ_API __declspec(dllimport)
#endif
#else
#if defined(KEZ_BUILDING_ENGINE)
#define KEZ_API __attribute__((visibility("default")))
#else
#define KEZ_API
#endif
#endif

/* On Linux an export whose name the host C library also defines is linked
   as kez_<name>; headers declare it under its standard name with this label,
   so user code writes the standard name and calls the engine. */
#if defined(__linux__)
#define KEZ_CLIB_NAME(name) __asm__("kez_" #name)
#else
#define KEZ_CLIB_NAME(name)
#endif

#if defined(__GNUC__)
#define KEZ_NORETURN __attribute__((noreturn))
#else
#define KEZ_NORETURN
#endif

#ifdef __cplusplus
#define KEZ_BEGIN_DECLS extern "C" {
#define KEZ_END_DECLS }
#else
#define KEZ_BEGIN_DECLS
#define KEZ_END_DECLS
#endif

#endif
