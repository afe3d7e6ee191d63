// Where the firewall looks for the public suffix list, in order; the first
// file that exists is loaded. The replay tool looks in the same places.
#ifndef VESK_PUBLIC_SUFFIX_PATHS_H
#define VESK_PUBLIC_SUFFIX_PATHS_H

static const char *const kPublicSuffixPaths[] = {
    "/usr/share/publicsuffix/public_suffix_list.dat", "/usr/share/oxlo/public_suffix_list.dat",
    "/etc/vesk/public_suffix_list.dat", "./packages/etc/vesk/public_suffix_list.dat"};

#endif
