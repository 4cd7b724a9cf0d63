// The table page: choosing a page size applies it at once.
(function () {
  'use strict';
  var form = document.querySelector('form.page-size');
  var select = document.getElementById('limit');
  if (!form || !select) {
    return;
  }
  form.classList.add('auto');
  select.addEventListener('change', function () {
    form.submit();
  });
})();
