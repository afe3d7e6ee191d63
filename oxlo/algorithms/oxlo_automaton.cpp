/* Aho-Corasick automaton (being built: the interface is final). */
#include "oxlo_automaton.h"

#include "oxlo_memory.h"

extern "C" {

oxlo_automaton *automaton_new(automaton_match_cb) { return nullptr; }
int automaton_set_features(oxlo_automaton *, int) { return AUTOMATON_ERROR; }
int automaton_set_name(oxlo_automaton *, const char *, int) { return AUTOMATON_ERROR; }
int automaton_set_global_debug(int on) { return on; }
int automaton_add_pattern(oxlo_automaton *, automaton_pattern *) { return AUTOMATON_ERROR; }
int automaton_finalize(oxlo_automaton *) { return AUTOMATON_ERROR; }
int automaton_search(oxlo_automaton *, automaton_text *, automaton_match *) { return -1; }
void automaton_release(oxlo_automaton *, int) {}
int automaton_walk(oxlo_automaton *, automaton_node_cb, automaton_edge_cb, void *) { return 0; }
void automaton_dump(oxlo_automaton *, FILE *) {}
void automaton_get_stats(const oxlo_automaton *, automaton_stats *stats)
{
    if (stats)
        *stats = automaton_stats{};
}

} // extern "C"
