/* Vesk policy library: the C-callable facade, by concern.
 *   vesk_rules.h    rule managers, blacklists, the engine data of a rules file
 *   vesk_process.h  process attribution: socket monitors, socket list, host
 * A program that needs one concern includes its header; this one is both. */
#ifndef VESK_POLICY_H
#define VESK_POLICY_H

#include "vesk_process.h"
#include "vesk_rules.h"

#endif
