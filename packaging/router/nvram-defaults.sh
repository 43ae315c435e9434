#!/bin/sh
# The settings netvigil reads from nvram, with the values it is shipped with.
# Put these lines into the firmware's factory defaults, or run this file once
# on a router whose nvram lacks them; it overwrites what is set, so it is not
# for every boot.
#
# netvigil falls back to these same values when one of its numbers is
# missing or unusable (0, negative, not a number): it logs a settings fault
# and goes on as a router set up with this file would, never with fewer
# attempts or shorter waits. Its build checks that its fallbacks and the
# values here agree; change both together.
#
# No ping server is configured: with remote_server_number=0 netvigil only
# watches the PPP link (and reboots when the link stays down, unless the
# firmware dials on demand, wan_ppp_demand=2). Add the servers the network's
# operator answers pings from, for example:
#   nvram set remote_server_number=2
#   nvram set remote_server1=ping1.operator.example
#   nvram set remote_server2=ping2.operator.example
# Where the network drops ICMP echo requests, a server can be probed with a
# TCP connection instead: tcp:HOST:PORT (an opened or a refused connection
# within 10 seconds is an answer), for example
#   nvram set remote_server2=tcp:gw.operator.example:443

# Servers: how many, then remote_server1 .. remote_serverN.
nvram set remote_server_number=0
# Counters netvigil keeps between its passes: start at the first server, first
# attempt.
nvram set ping_address_index=1
nvram set ping_times=1
# Attempts per server before moving on to the next (after the last: reboot).
nvram set ping_out_times=3
# Seconds to rest after a ping was answered, before the pass ends.
nvram set success_interval=300
# Seconds the PPP link is given to come up (also the wait when no server is
# configured).
nvram set reboot_interval=300
# Seconds to wait after running reboot, should the router still be up.
nvram set ping_interval=60
# Lowest log level written to /var/log/netvigil.log: 1 writes every line
# netvigil logs; 2 or more silences it.
nvram set sys_log_level=1
# Seconds that must pass between two reboots by netvigil; 0 for no such
# guard. Holds only where nvram keeps its values over a restart, and counts
# only reboot commands that did not fail: one that failed is retried.
nvram set netvigil_min_reboot_gap=0
# Optional, each off as shipped:
# A program (its path) that netvigil runs once, without a shell or
# arguments, when a reboot becomes due, for example one that restarts the PPP
# link or the modem; it is killed when it has not ended after 60 seconds. The
# reboot then waits one pass: a probe answered in it means no reboot.
# Empty: none.
nvram set netvigil_recover_cmd=
# At most netvigil_max_reboots reboots within netvigil_reboot_window seconds
# (for example 3 in 3600); past them, no reboot until the window has passed.
# netvigil counts them in netvigil_reboot_count. 0: no cap.
nvram set netvigil_max_reboots=0
nvram set netvigil_reboot_window=3600
# Seconds from the router's boot (its uptime) before netvigil's first probe,
# so that a router that has just started is not judged while it dials.
# 0: no wait.
nvram set netvigil_start_delay=0
