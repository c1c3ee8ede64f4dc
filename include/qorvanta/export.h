/* Symbol visibility and linkage of the camera library's public interface. */
#ifndef QORVANTA_EXPORT_H
#define QORVANTA_EXPORT_H

/* The library is built with hidden visibility; only what carries this mark is exported. */
#define QOR_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define QOR_BEGIN_DECLS extern "C" {
#define QOR_END_DECLS }
#else
#define QOR_BEGIN_DECLS
#define QOR_END_DECLS
#endif

#endif
