#include "run/ground/Decision.h"

namespace decision_detail {
DecisionListener g_listener = nullptr;
}  // namespace decision_detail

namespace {
void* g_ctx = nullptr;
}  // namespace

DecisionListener Decision_Listen(DecisionListener listener, void* ctx) {
  const DecisionListener before = decision_detail::g_listener;
  decision_detail::g_listener = listener;
  g_ctx = ctx;
  return before;
}

void Decision_Note(const char* pnr, const Decision& d) {
  if (Decision_On()) decision_detail::g_listener(g_ctx, pnr, d);
}
