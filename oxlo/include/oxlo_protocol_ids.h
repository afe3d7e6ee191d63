/* Ids of the built-in protocol table, the category ids and the breeds.
 * Protocol ids are table ids inside the engine: one per row of the table from
 * 0 with no gaps; custom protocols follow from OXLO_PROTOCOL_BUILTIN_COUNT on. */
#ifndef OXLO_PROTOCOL_IDS_H
#define OXLO_PROTOCOL_IDS_H

#ifdef __cplusplus
extern "C" {
#endif

/* One name per row of the built-in protocol table (data/oxlo_protocols.def). */
enum oxlo_protocol_id {
#define OXLO_PROTO(id, ident, name, kind, ct, app, breed, cat, cls, tcp, udp) OXLO_PROTOCOL_##ident = id,
#include "../data/oxlo_protocols.def"
#undef OXLO_PROTO
};

/* Number of built-in protocols (the rows of the table); the first custom
 * protocol gets this id. */
enum {
    OXLO_PROTOCOL_BUILTIN_COUNT = 0
#define OXLO_PROTO(id, ident, name, kind, ct, app, breed, cat, cls, tcp, udp) +1
#include "../data/oxlo_protocols.def"
#undef OXLO_PROTO
};

/* Sub-protocol marker: any protocol found by host or content matching. It is
 * passed as -2 in sub-protocol lists and stored as 0xFFFE. */
#define OXLO_PROTOCOL_MATCHED_BY_CONTENT (-2)
#define OXLO_PROTOCOL_MATCHED_BY_CONTENT_ID 0xFFFEu

/* Categories (164 ids; 20-24 are the user custom categories, 35-98 unused). */
typedef enum oxlo_category {
  OXLO_CATEGORY_UNSPECIFIED                = 0,
  OXLO_CATEGORY_MEDIA                      = 1,
  OXLO_CATEGORY_VPN                        = 2,
  OXLO_CATEGORY_EMAIL                      = 3,
  OXLO_CATEGORY_DATATRANSFER               = 4,
  OXLO_CATEGORY_WEB                        = 5,
  OXLO_CATEGORY_SOCIALNETWORK              = 6,
  OXLO_CATEGORY_DOWNLOAD                   = 7,
  OXLO_CATEGORY_GAME                       = 8,
  OXLO_CATEGORY_CHAT                       = 9,
  OXLO_CATEGORY_VOIP                       = 10,
  OXLO_CATEGORY_DATABASE                   = 11,
  OXLO_CATEGORY_REMOTEACCESS               = 12,
  OXLO_CATEGORY_CLOUD                      = 13,
  OXLO_CATEGORY_NETWORK                    = 14,
  OXLO_CATEGORY_COLLABORATIVE              = 15,
  OXLO_CATEGORY_RPC                        = 16,
  OXLO_CATEGORY_STREAMING                  = 17,
  OXLO_CATEGORY_SYSTEM                     = 18,
  OXLO_CATEGORY_SOFTWAREUPDATE             = 19,
  OXLO_CATEGORY_CUSTOM_1                   = 20,
  OXLO_CATEGORY_CUSTOM_2                   = 21,
  OXLO_CATEGORY_CUSTOM_3                   = 22,
  OXLO_CATEGORY_CUSTOM_4                   = 23,
  OXLO_CATEGORY_CUSTOM_5                   = 24,
  OXLO_CATEGORY_MUSIC                      = 25,
  OXLO_CATEGORY_VIDEO                      = 26,
  OXLO_CATEGORY_SHOPPING                   = 27,
  OXLO_CATEGORY_PRODUCTIVITY               = 28,
  OXLO_CATEGORY_FILESHARING                = 29,
  OXLO_CATEGORY_CONNCHECK                  = 30,
  OXLO_CATEGORY_IOT_SCADA                  = 31,
  OXLO_CATEGORY_VIRTASSISTANT              = 32,
  OXLO_CATEGORY_CYBERSECURITY              = 33,
  OXLO_CATEGORY_ADULTCONTENT               = 34,
  OXLO_CATEGORY_MINING                     = 99,
  OXLO_CATEGORY_MALWARE                    = 100,
  OXLO_CATEGORY_ADVERTISEMENT              = 101,
  OXLO_CATEGORY_BANNED_SITE                = 102,
  OXLO_CATEGORY_SITE_UNAVAILABLE           = 103,
  OXLO_CATEGORY_ALLOWED_SITE               = 104,
  OXLO_CATEGORY_ANTIMALWARE                = 105,
  OXLO_CATEGORY_CRYPTO_CURRENCY            = 106,
  OXLO_CATEGORY_GAMBLING                   = 107,
  OXLO_CATEGORY_HEALTH                     = 108,
  OXLO_CATEGORY_ARTIFINTELLIGENCE          = 109,
  OXLO_CATEGORY_FINANCE                    = 110,
  OXLO_CATEGORY_NEWS                       = 111,
  OXLO_CATEGORY_SPORT                      = 112,
  OXLO_CATEGORY_BUSINESS                   = 113,
  OXLO_CATEGORY_INTERNET                   = 114,
  OXLO_CATEGORY_BLOCKCHAIN_CRYPTO          = 115,
  OXLO_CATEGORY_BLOG_FORUM                 = 116,
  OXLO_CATEGORY_GOVERNMENT                 = 117,
  OXLO_CATEGORY_EDUCATION                  = 118,
  OXLO_CATEGORY_CDN_PROXY                  = 119,
  OXLO_CATEGORY_HW_SW                      = 120,
  OXLO_CATEGORY_DATING                     = 121,
  OXLO_CATEGORY_TRAVEL                     = 122,
  OXLO_CATEGORY_FOOD                       = 123,
  OXLO_CATEGORY_BOTS                       = 124,
  OXLO_CATEGORY_SCANNERS                   = 125,
  OXLO_CATEGORY_HOSTING                    = 126,
  OXLO_CATEGORY_ART                        = 127,
  OXLO_CATEGORY_FASHION                    = 128,
  OXLO_CATEGORY_BOOKS                      = 129,
  OXLO_CATEGORY_SCIENCE                    = 130,
  OXLO_CATEGORY_MAPS_NAVIGATION            = 131,
  OXLO_CATEGORY_LOGIN_PORTAL               = 132,
  OXLO_CATEGORY_LEGAL                      = 133,
  OXLO_CATEGORY_ENVIRONMENTAL_SERVICES     = 134,
  OXLO_CATEGORY_CULTURE                    = 135,
  OXLO_CATEGORY_HOUSING                    = 136,
  OXLO_CATEGORY_TELECOMMUNICATION          = 137,
  OXLO_CATEGORY_TRANSPORTATION             = 138,
  OXLO_CATEGORY_DESIGN                     = 139,
  OXLO_CATEGORY_EMPLOYMENT                 = 140,
  OXLO_CATEGORY_EVENTS                     = 141,
  OXLO_CATEGORY_WEATHER                    = 142,
  OXLO_CATEGORY_LIFESTYLE                  = 143,
  OXLO_CATEGORY_REAL_ESTATE                = 144,
  OXLO_CATEGORY_SECURITY                   = 145,
  OXLO_CATEGORY_ENVIRONMENT                = 146,
  OXLO_CATEGORY_HOBBY                      = 147,
  OXLO_CATEGORY_COMPUTER_SCIENCE           = 148,
  OXLO_CATEGORY_CONSTRUCTION               = 149,
  OXLO_CATEGORY_ENGINEERING                = 150,
  OXLO_CATEGORY_RELIGION                   = 151,
  OXLO_CATEGORY_ENTERTAINMENT              = 152,
  OXLO_CATEGORY_AGRICULTURE                = 153,
  OXLO_CATEGORY_TECHNOLOGY                 = 154,
  OXLO_CATEGORY_BEAUTY                     = 155,
  OXLO_CATEGORY_HISTORY                    = 156,
  OXLO_CATEGORY_POLITICS                   = 157,
  OXLO_CATEGORY_VEHICLES                   = 158,
  OXLO_CATEGORY_SEARCH_ENGINE              = 159,
  OXLO_CATEGORY_CHILDREN                   = 160,
  OXLO_CATEGORY_VIOLENCE                   = 161,
  OXLO_CATEGORY_DRUGS                      = 162,
  OXLO_CATEGORY_WEAPONS                    = 163,
  OXLO_CATEGORY_COUNT                      = 164
} oxlo_category;

typedef enum oxlo_breed {
  OXLO_BREED_UNRATED               = 0,
  OXLO_BREED_SAFE                  = 1,
  OXLO_BREED_ACCEPTABLE            = 2,
  OXLO_BREED_FUN                   = 3,
  OXLO_BREED_UNSAFE                = 4,
  OXLO_BREED_POTENTIALLY_DANGEROUS = 5,
  OXLO_BREED_DANGEROUS             = 6,
  OXLO_BREED_TRACKER_ADS           = 7,
  OXLO_BREED_COUNT                 = 8
} oxlo_breed;

#ifdef __cplusplus
}
#endif

#endif
