// The net-snmp agent library as the agent thread and the card's MIB see it.
// The library's deprecated U64 typedef would clash with the card's own.
#pragma once
#define NETSNMP_REMOVE_U64 1
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/large_fd_set.h>
