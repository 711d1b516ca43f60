"""A first look at quendle: what the module offers."""

import quendle

print(quendle.__all__)
