// Keeps the support library non-empty until the fakes arrive.
namespace tolvex::test { int SupportAnchor() { return 0; } }
