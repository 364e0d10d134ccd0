#pragma once

#include <glib-object.h>
#include <memory>

namespace plumo {

// Gives back what is owned of an object with `release`.
template <auto release>
struct GReleaseWith {
  template <class T>
  void operator()(T* owned) const {
    release(owned);
  }
};

// How a GLib type gives back what is owned of it: a GObject drops one
// reference; the other types name their release here, or beside the toolkit
// that defines them (a GTK window is destroyed).
template <class T>
struct GRelease : GReleaseWith<g_object_unref> {};
template <>
struct GRelease<gchar> : GReleaseWith<g_free> {};
// A string array is GOwnedStrv, below: as GOwned<gchar*> it would read one star
// away from a string's GOwned<gchar>, so that spelling does not compile.
template <>
struct GRelease<gchar*>;
template <>
struct GRelease<GError> : GReleaseWith<g_error_free> {};
template <>
struct GRelease<GMainLoop> : GReleaseWith<g_main_loop_unref> {};
template <>
struct GRelease<GSource> : GReleaseWith<g_source_unref> {};
template <>
struct GRelease<GPtrArray> : GReleaseWith<g_ptr_array_unref> {};
template <>
struct GRelease<GKeyFile> : GReleaseWith<g_key_file_unref> {};
template <>
struct GRelease<GWeakRef> {
  void operator()(GWeakRef* reference) const {
    g_weak_ref_clear(reference);
    g_free(reference);
  }
};

// What one owns of a GLib object or allocation, given back once: the one
// owning handle for everything GLib, GIO and GTK hand over.
template <class T>
using GOwned = std::unique_ptr<T, GRelease<T>>;

// A NULL-terminated array of strings, freed with its strings (g_strfreev).
using GOwnedStrv = std::unique_ptr<gchar*, GReleaseWith<g_strfreev>>;

}  // namespace plumo
