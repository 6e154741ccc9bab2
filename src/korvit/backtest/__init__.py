"""The backtest package: the matching engine ``domain`` (compiled) and its records."""
