/*
 * The key domains: the 37 domain ids a key store holds one key family for, in
 * the agent's order. The key store, the agent's domain table and the tools
 * all take the list from here.
 */
#ifndef ZORV_DOMAINS_H
#define ZORV_DOMAINS_H

#define QINT_DOMAIN_COUNT 37
#define QINT_DOMAIN_IDS                                                                                     \
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 50, 51, 100, \
        101, 102, 103, 104, 105, 150, 151, 152

#endif /* ZORV_DOMAINS_H */
