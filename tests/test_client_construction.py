import os
import sys
from urllib.parse import parse_qs

import pytest
from conftest import run_python, sign, write_key_file

from tavori_pay import Client

KEY_FILE = 'COMMUNITY_KEY = "file-community"\nSPONSOR_KEY = "file-sponsor"\n'


def keys_of(client: Client, service) -> tuple[str, str]:
    """The two keys a client holds, as its requests reveal them."""
    client.create_payment(1, "CNY", "acct", "/notify")
    form = parse_qs(service.last.body.decode(), keep_blank_values=True)
    return form["community_key"][0], form["sponsor_key"][0]


@pytest.fixture
def in_working_space(tmp_path, monkeypatch):
    """The current directory is a fresh working space; Django is unconfigured."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("IS_LAN", raising=False)
    monkeypatch.delenv("DJANGO_SETTINGS_MODULE", raising=False)
    return tmp_path


def test_both_keys_given_consults_nothing(tmp_path):
    result = run_python("""
        import sys
        from tavori_pay import Client
        Client("a", "b")
        Client("", "")
        assert "django" not in sys.modules or sys.modules["django"] is None
        print("ok")
    """, cwd=tmp_path, without_django=True)
    assert result.stdout.strip() == "ok", result.stderr


def test_given_keys_are_used_unchanged(service):
    client = Client(community_key="c&=+ é", sponsor_key="")
    assert keys_of(client, service) == ("c&=+ é", "")
    assert client.verify_callback("{}", sign("", "{}")) == {}


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((None, None), {}),
    (("given-community",), {}),
    ((), {"sponsor_key": "given-sponsor"}),
])
def test_missing_keys_come_from_the_key_file(in_working_space, service, args, kwargs):
    write_key_file(in_working_space, KEY_FILE)
    assert keys_of(Client(*args, **kwargs), service) == ("file-community", "file-sponsor")


def test_key_file_is_read_again_at_each_construction(in_working_space, service):
    write_key_file(in_working_space, KEY_FILE)
    first = Client()
    write_key_file(in_working_space, "COMMUNITY_KEY='new-c'\nSPONSOR_KEY='new-s'\n")
    assert keys_of(Client(), service) == ("new-c", "new-s")
    assert keys_of(first, service) == ("file-community", "file-sponsor")


@pytest.mark.parametrize("args, kwargs, named", [
    ((1,), {}, "community_key"),
    (("a", b"b"), {}, "sponsor_key"),
    ((), {"sponsor_key": 3.5}, "sponsor_key"),
])
def test_wrong_key_types_name_the_argument_and_read_nothing(in_working_space, args, kwargs, named):
    with pytest.raises(TypeError, match=named):
        Client(*args, **kwargs)


@pytest.mark.parametrize("args, kwargs", [
    (("a", "b", "c"), {}),
    (("a",), {"community_key": "b"}),
    ((), {"api_key": "a"}),
])
def test_argument_parser_errors(args, kwargs):
    with pytest.raises(TypeError):
        Client(*args, **kwargs)


def test_key_with_lone_surrogate_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        Client("\ud800", "b")


def test_str_subclasses_are_accepted(service):
    class Text(str):
        pass
    assert keys_of(Client(Text("c"), Text("s")), service) == ("c", "s")


@pytest.mark.parametrize("content, description", [
    (None, "No such file or directory (os error 2)"),
    ("directory", "Is a directory (os error 21)"),
    (b"COMMUNITY_KEY = 'caf\xe9'\n", "stream did not contain valid UTF-8"),
])
def test_unreadable_key_file(in_working_space, content, description):
    if content == "directory":
        (in_working_space / "auth_key.py").mkdir()
    elif content is not None:
        write_key_file(in_working_space, content)
    path = f"{in_working_space}/auth_key.py"
    message = (f"Cannot read auth_key.py at {path}: {description}. "
               "Please pass community_key and sponsor_key manually.")
    with pytest.raises(RuntimeError) as raised:
        Client()
    assert str(raised.value) == message


def test_key_file_that_is_a_fifo_fails_without_blocking(in_working_space):
    os.mkfifo(in_working_space / "auth_key.py")
    with pytest.raises(RuntimeError, match="Cannot read auth_key.py at .*: not a regular file"):
        Client()


@pytest.mark.parametrize("text, message", [
    ("SPONSOR_KEY = 's'\n", "COMMUNITY_KEY not found in auth_key.py"),
    ("", "COMMUNITY_KEY not found in auth_key.py"),
    ("COMMUNITY_KEY = 'c'\n", "SPONSOR_KEY not found in auth_key.py"),
])
def test_missing_assignments(in_working_space, text, message):
    write_key_file(in_working_space, text)
    with pytest.raises(RuntimeError) as raised:
        Client()
    assert str(raised.value) == message


def test_empty_assignments_give_empty_keys(in_working_space, service):
    write_key_file(in_working_space, "COMMUNITY_KEY=\nSPONSOR_KEY=''\n")
    assert keys_of(Client(), service) == ("", "")


def test_framework_not_installed_raises_the_import_error(tmp_path):
    write_key_file(tmp_path, KEY_FILE)
    result = run_python("""
        from tavori_pay import Client
        try:
            Client("only-one")
        except ImportError as error:
            print("ImportError")
    """, cwd=tmp_path, without_django=True)
    assert result.stdout.strip() == "ImportError", result.stderr


CONFIGURED = """
    import django
    from django.conf import settings
    settings.configure(WORKING_SPACE={space!r})
    from tavori_pay import Client
    try:
        Client()
    except RuntimeError as error:
        print(error)
    else:
        print("constructed")
"""


def test_working_space_setting_is_used(tmp_path):
    space = tmp_path / "project"
    space.mkdir()
    write_key_file(space, KEY_FILE)
    result = run_python(CONFIGURED.format(space=str(space)), cwd=tmp_path)
    assert result.stdout.strip() == "constructed", result.stderr


def test_working_space_is_used_exactly_as_set(tmp_path):
    result = run_python(CONFIGURED.format(space=f"{tmp_path}/"), cwd=tmp_path)
    assert f"at {tmp_path}//auth_key.py: No such file" in result.stdout, result.stderr


def test_working_space_that_is_not_a_str_falls_back_to_the_current_directory(tmp_path):
    write_key_file(tmp_path, KEY_FILE)
    code = CONFIGURED.replace("WORKING_SPACE={space!r}", "WORKING_SPACE=__import__('pathlib').Path('/nowhere')")
    result = run_python(code, cwd=tmp_path)
    assert result.stdout.strip() == "constructed", result.stderr


def test_unconfigured_framework_falls_back_to_the_current_directory(in_working_space, service):
    write_key_file(in_working_space, KEY_FILE)
    assert keys_of(Client(), service) == ("file-community", "file-sponsor")


@pytest.mark.parametrize("flag", ["TRUE", "True", " true", "true ", "1", "yes", ""])
def test_is_lan_other_than_exact_true_selects_the_current_directory(in_working_space, monkeypatch, flag, service):
    monkeypatch.setenv("IS_LAN", flag)
    write_key_file(in_working_space, KEY_FILE)
    assert keys_of(Client(), service) == ("file-community", "file-sponsor")


def test_is_lan_true_selects_the_interpreter_directory(in_working_space, tmp_path_factory, monkeypatch, service):
    interpreter_directory = tmp_path_factory.mktemp("bin")
    write_key_file(interpreter_directory, "COMMUNITY_KEY='lan-c'\nSPONSOR_KEY='lan-s'\n")
    monkeypatch.setenv("IS_LAN", "true")
    monkeypatch.setattr(sys, "executable", str(interpreter_directory / "python3"))
    assert keys_of(Client(), service) == ("lan-c", "lan-s")


def test_is_lan_true_with_empty_executable_looks_under_the_root(in_working_space, monkeypatch):
    monkeypatch.setenv("IS_LAN", "true")
    monkeypatch.setattr(sys, "executable", "")
    with pytest.raises(RuntimeError, match=r"^Cannot read auth_key.py at /auth_key.py: "):
        Client()


def test_is_lan_true_with_no_executable_raises_type_error(in_working_space, monkeypatch):
    monkeypatch.setenv("IS_LAN", "true")
    monkeypatch.setattr(sys, "executable", None)
    with pytest.raises(TypeError, match="sys.executable"):
        Client()


def test_vanished_current_directory_raises_the_os_error(tmp_path):
    # The framework is imported first: importing with no current directory
    # fails inside CPython 3.13.0 itself.
    result = run_python("""
        import os
        import django.conf
        from tavori_pay import Client
        os.mkdir("gone")
        os.chdir("gone")
        os.rmdir(os.getcwd())
        try:
            Client()
        except FileNotFoundError:
            print("FileNotFoundError")
    """, cwd=tmp_path)
    assert result.stdout.strip() == "FileNotFoundError", result.stderr


def test_relative_working_space_is_relative_to_the_current_directory(tmp_path):
    (tmp_path / "inner").mkdir()
    write_key_file(tmp_path / "inner", KEY_FILE)
    result = run_python(CONFIGURED.format(space="inner"), cwd=tmp_path)
    assert result.stdout.strip() == "constructed", result.stderr
