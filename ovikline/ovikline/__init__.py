"""ovikline, the line simulator: a simulated factory network and production line.

A PC network namespace with a bridge, and one namespace per device under test whose eth0 is
a veth on that bridge. Each device runs the real agent in a private mount namespace, with its
own /dev/shm and with stand-ins for the device image's tools laid over /usr/bin and /usr/sbin.

Modules: frames (host link frames), netns (namespaces, sockets inside them), network
(Network and Dut), client (raw UDP client in the PC namespace), standin (the stand-in tools),
launch (starts the agent inside a device's namespaces), fixture (what every fixture program
does), ethernet (ports besides eth0, plugs, switches, raw frames), can (CAN buses and a
responder node), dio (digital I/O boards served by dio-standin), radio (radios and an access
point, in the virtual test machine), serialplug (plugs on a device's serial ports),
peripherals (GPS receivers and modems), media (vfat media on loop devices, in the virtual test
machine), burnin (run steps, configurations, station runs with their records), line (line
descriptions and whole lines), vm (the virtual test machine), cli (the ovikline command).
"""
