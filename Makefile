.PHONY: bootstrap test test-python test-cpp demo check-format check-sanitizers fuzz check-valgrind check-packaging bench

# The environment the tests run in; one can be kept per Python
# (make test VENV=.venv-3.12 PYTHON_VERSION=3.12).
VENV ?= .venv
PYTHON_VERSION ?=
export VENV PYTHON_VERSION

bootstrap:
	@scripts/bootstrap.sh

test: bootstrap test-python test-cpp

test-python:
	$(VENV)/bin/python -m pytest
	cd django_app/tests && ../../$(VENV)/bin/python -m pytest
	cd django_app/tests && TAVORI_TEST_DATABASE=postgresql ../../$(VENV)/bin/python -m pytest
	cd django_app/tests && TAVORI_TEST_DATABASE=mariadb ../../$(VENV)/bin/python -m pytest
	cd examples/django_shop && ../../$(VENV)/bin/python -m pytest

test-cpp:
	cmake -S . -B build/cpp-tests -DTAVORI_PAY_MODULE=OFF -DTAVORI_PAY_CPP_TESTS=ON >/dev/null
	cmake --build build/cpp-tests -j2 >/dev/null
	ctest --test-dir build/cpp-tests --output-on-failure

demo: bootstrap
	.venv/bin/python examples/demo.py

check-format: bootstrap
	clang-format --dry-run --Werror src/*.cpp src/*.hpp

check-sanitizers: bootstrap
	scripts/check_sanitizers.sh

fuzz: bootstrap
	scripts/fuzz.sh

check-valgrind: bootstrap
	scripts/check_valgrind.sh

check-packaging: bootstrap
	scripts/check_packaging.sh

bench: bootstrap
	.venv/bin/python -m pip install -q ".[bench]" --no-build-isolation
	.venv/bin/python bench/run.py
