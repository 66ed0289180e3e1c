// Keeps the support library non-empty while it has no other sources.
namespace tolvex::test {
int SupportAnchor() { return 0; }
}  // namespace tolvex::test
