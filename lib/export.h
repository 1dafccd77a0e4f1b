/* Marks the names that liborvik exports; everything else is hidden. */
#ifndef ORVIK_EXPORT_H
#define ORVIK_EXPORT_H

#if defined(__GNUC__)
#define ORVIK_EXPORT __attribute__((visibility("default")))
#else
#define ORVIK_EXPORT
#endif

#endif
