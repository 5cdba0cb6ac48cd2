#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

// Single owners for the GLib objects the Linux backends hold.
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

struct GHashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};

struct GVariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
using GHashTablePtr = std::unique_ptr<GHashTable, GHashTableUnref>;
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;
template <typename T>
using GFreePtr = std::unique_ptr<T, GFree>;
