// The shared library is the static core linked whole; this translation unit
// only gives the library target a source of its own.
namespace le {
int facecoreLibraryAnchor() { return 0; }
}  // namespace le
