# Install rules and Debian packages of the agent and the station.
