# The registry's libraries, from Debian's -dev packages (scripts/deps), linked
# dynamically: a static libarchive drags in ICU.
find_package(SQLite3 REQUIRED)
find_package(PostgreSQL REQUIRED)  # libpq only
find_package(LibArchive REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)
