/* Prints, for each input line, the SQL-injection fingerprints of the passes
 * the detector runs on it, separated by blanks (an empty fingerprint is
 * "-"). With --words FILE the words come from FILE ("TYPE<TAB>WORD" lines)
 * instead of the built-in table, so the table's fingerprint rows can be
 * generated from the words alone. With --detect it prints the verdict of the
 * built-in table and the hitting fingerprint instead.
 *
 * Input lines are decoded: "\n", "\t", "\r", "\\" and "\xHH" stand for the
 * byte they name, so a payload may hold any byte. */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "oxlo_inj.h"

namespace {

using word_list = std::vector<std::pair<std::string, char>>;

std::string upper(const char *text, size_t length)
{
    std::string u(text, length);
    for (char &c : u)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return u;
}

char words_lookup(oxlo_inj_sqli_context *ctx, int kind, const char *text, size_t length)
{
    if (kind == OXLO_INJ_SQLI_LOOKUP_FINGERPRINT)
        return 0;
    const auto *words = static_cast<const word_list *>(ctx->userdata);
    std::string key = upper(text, length);
    auto it = std::lower_bound(words->begin(), words->end(), key,
                               [](const auto &row, const std::string &k) { return row.first < k; });
    return (it != words->end() && it->first == key) ? it->second : 0;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(const std::string &line)
{
    std::string out;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] != '\\' || i + 1 == line.size()) {
            out += line[i];
            continue;
        }
        char c = line[++i];
        if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        else if (c == 'r') out += '\r';
        else if (c == '\\') out += '\\';
        else if (c == 'x' && i + 2 < line.size() && hex_value(line[i + 1]) >= 0 && hex_value(line[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(line[i + 1]) * 16 + hex_value(line[i + 2]));
            i += 2;
        } else {
            out += '\\';
            out += c;
        }
    }
    return out;
}

void print_passes(const std::string &text, const word_list *words)
{
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, text.data(), text.size(), 0);
    if (words)
        oxlo_inj_sqli_set_lookup(&ctx, words_lookup, const_cast<word_list *>(words));
    auto pass = [&](int flags) {
        const char *fp = oxlo_inj_sqli_fingerprint(&ctx, flags);
        std::cout << ' ' << (*fp ? fp : "-");
        return ctx.stats_comment_ddx > 0 || ctx.stats_comment_hash > 0;
    };
    std::cout << 'p';
    if (!text.empty()) {
        if (pass(OXLO_INJ_SQLI_QUOTE_NONE | OXLO_INJ_SQLI_SQL_ANSI))
            pass(OXLO_INJ_SQLI_QUOTE_NONE | OXLO_INJ_SQLI_SQL_MYSQL);
        if (text.find('\'') != std::string::npos &&
            pass(OXLO_INJ_SQLI_QUOTE_SINGLE | OXLO_INJ_SQLI_SQL_ANSI))
            pass(OXLO_INJ_SQLI_QUOTE_SINGLE | OXLO_INJ_SQLI_SQL_MYSQL);
        if (text.find('"') != std::string::npos)
            pass(OXLO_INJ_SQLI_QUOTE_DOUBLE | OXLO_INJ_SQLI_SQL_MYSQL);
    }
    std::cout << '\n';
}

} // namespace

int main(int argc, char **argv)
{
    word_list words;
    bool use_words = false, detect = false;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--words") == 0 && i + 1 < argc) {
            std::ifstream in(argv[++i]);
            if (!in) {
                std::cerr << "cannot read " << argv[i] << '\n';
                return 1;
            }
            std::string line;
            while (std::getline(in, line)) {
                size_t tab = line.find('\t');
                if (tab == 1)
                    words.emplace_back(line.substr(2), line[0]);
            }
            std::sort(words.begin(), words.end());
            use_words = true;
        } else if (std::strcmp(argv[i], "--detect") == 0) {
            detect = true;
        } else {
            std::cerr << "usage: oxlo-sqli-fingerprints [--words FILE | --detect] < lines\n";
            return 2;
        }
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        std::string text = unescape(line);
        if (detect) {
            char fp[8];
            int hit = oxlo_inj_sqli_check_string(text.data(), text.size(), fp);
            std::cout << hit << ' ' << (*fp ? fp : "-") << '\n';
        } else {
            print_passes(text, use_words ? &words : nullptr);
        }
    }
    return 0;
}
