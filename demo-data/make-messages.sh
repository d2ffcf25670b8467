#!/bin/bash
# Writes the demo mailbox as RFC 822 files 01.eml, 02.eml, ... into OUTDIR,
# in delivery order: Russian subjects as encoded words (KOI8-R and
# Windows-1251, base64 and quoted-printable), UTF-8 subjects as today's mail
# writes them (one word or several folded over lines, split inside a
# character too, behind "Re: " and "Fwd: "; an emoji, Ukrainian letters),
# one in a charset no decoder knows, plain ASCII ones, senders with
# and without display names, a sender too long for its column, and sizes on
# both sides of the kilobyte steps. Line ends are LF; the server counts each
# as CR LF, and the sizes below are the sizes the server lists.
#
#   make-messages.sh OUTDIR
set -eu
out=${1:?usage: make-messages.sh OUTDIR}
mkdir -p "$out"
rm -f "$out"/*.eml

# Encoded words. b: base64; q: quoted-printable with every byte outside
# letters and digits escaped (blanks as =20, which every decoder reads).
# Arguments: label as written in the header, iconv charset, UTF-8 text.
enc_b() {
    printf '=?%s?b?%s?=' "$1" "$(printf '%s' "$3" | iconv -f UTF-8 -t "$2" | base64 -w0)"
}
enc_q() {
    local hex text=""
    for hex in $(printf '%s' "$3" | iconv -f UTF-8 -t "$2" | od -An -v -tx1); do
        case $hex in
            3[0-9] | 4[1-9a-f] | 5[0-9a] | 6[1-9a-f] | 7[0-9a]) text+=$(printf "\\x$hex") ;;
            *) text+="=${hex^^}" ;;
        esac
    done
    printf '=?%s?q?%s?=' "$1" "$text"
}

# UTF-8 text as encoded words, one per line, the lines after the first
# folded (they begin with a blank). Arguments: label, b or q, how the text is
# cut: cN after every N characters (as most mailers cut, at character
# boundaries) or bN after every N bytes (inside characters, as some do), and
# the text. In q, blanks are written "_".
enc_u8() {
    local label=$1 enc=$2 cut=$3 text=$4 piece words="" word hex n=${3:1} chunks=()
    if [ "${cut:0:1}" = c ]; then
        while [ -n "$text" ]; do
            chunks+=("$(LC_ALL=C.UTF-8 bash -c 'printf %s "${1:0:$2}"' _ "$text" "$n" | base64 -w0)")
            text=$(LC_ALL=C.UTF-8 bash -c 'printf %s "${1:$2}"' _ "$text" "$n")
        done
    else
        while read -r piece; do chunks+=("$piece"); done < <(printf '%s' "$text" | split -b "$n" --filter='base64 -w0; echo')
    fi
    for piece in "${chunks[@]}"; do
        if [ "$enc" = b ]; then
            word="=?$label?B?$piece?="
        else
            word="=?$label?Q?"
            for hex in $(printf '%s' "$piece" | base64 -d | od -An -v -tx1); do
                case $hex in
                    20) word+=_ ;;
                    3[0-9] | 4[1-9a-f] | 5[0-9a] | 6[1-9a-f] | 7[0-9a]) word+=$(printf "\\x$hex") ;;
                    *) word+="=${hex^^}" ;;
                esac
            done
            word+="?="
        fi
        words+="${words:+$'\n '}$word"
    done
    printf '%s' "$words"
}

# Subject specs: k8b:/k8q: KOI8-R, wb:/wq: Windows-1251, K8B: an upper-case
# label, ascii: as it is, empty: an empty header, none: no Subject line;
# u8b: one UTF-8 base64 word, U8B: UTF-8 base64 words of 20 characters,
# u8q: UTF-8 quoted-printable words of 24 characters, u8x: UTF-8 base64
# words of 15 bytes (cut inside characters). A text "PREFIX|TEXT" keeps the
# prefix as plain text before the words ("Re: |...").
subject_line() {
    local kind=${1%%:*} text=${1#*:} prefix=""
    case $text in *'|'*) prefix=${text%%|*} text=${text#*|} ;; esac
    case $kind in
        u8b) echo "Subject: $prefix$(enc_u8 utf-8 b c1000 "$text")" ;;
        U8B) echo "Subject: $prefix$(enc_u8 UTF-8 b c20 "$text")" ;;
        u8q) echo "Subject: $prefix$(enc_u8 utf-8 q c24 "$text")" ;;
        u8x) echo "Subject: $prefix$(enc_u8 utf-8 b b15 "$text")" ;;
        k8b) echo "Subject: $(enc_b koi8-r KOI8-R "$text")" ;;
        k8q) echo "Subject: $(enc_q koi8-r KOI8-R "$text")" ;;
        K8B) echo "Subject: $(enc_b KOI8-R KOI8-R "$text")" ;;
        wb) echo "Subject: $(enc_b windows-1251 CP1251 "$text")" ;;
        wq) echo "Subject: $(enc_q windows-1251 CP1251 "$text")" ;;
        ascii) echo "Subject: $text" ;;
        empty) echo "Subject:" ;;
        none) ;;
        *) echo "make-messages: bad subject spec $1" >&2; exit 1 ;;
    esac
}

# Charset of the body, after the subject's.
body_charset() {
    case ${1%%:*} in
        k8b | k8q | K8B) echo KOI8-R ;;
        wb | wq) echo CP1251 ;;
        u8b | U8B | u8q | u8x) echo UTF-8 ;;
        *) echo US-ASCII ;;
    esac
}

# Size the server lists: every LF counts two octets.
pop3_size() { echo $(($(wc -c <"$1") + $(wc -l <"$1"))); }

# Pads the body with filler lines of 60 letters so that the message's listed
# size is exactly SIZE (at least 2 octets above what is written so far).
pad_to() {
    local file=$1 size=$2 rest line
    rest=$((size - $(pop3_size "$file")))
    [ "$rest" -ge 2 ] || { echo "make-messages: $file already exceeds $size octets" >&2; exit 1; }
    line=$(printf '%060d' 0 | tr 0 x)
    while [ "$rest" -gt 62 ]; do
        if [ "$rest" -eq 63 ]; then
            echo "${line:0:30}" >>"$file"
            rest=$((rest - 32))
        else
            echo "$line" >>"$file"
            rest=$((rest - 62))
        fi
    done
    printf '%s\n' "${line:0:rest-2}" >>"$file"
}

n=0
# message FROM SUBJECT-SPEC SIZE [BODY-TEXT]
message() {
    local from=$1 subject=$2 size=$3 body=${4:-} file charset mime date
    n=$((n + 1))
    # Spread over November 2024, a few hours apart.
    date=$(LC_ALL=C date -u -d "@$((1730448000 + n * 61237))" '+%a, %d %b %Y %H:%M:%S +0000')
    file=$(printf '%s/%02d.eml' "$out" "$n")
    charset=$(body_charset "$subject")
    case $charset in KOI8-R) mime=koi8-r ;; CP1251) mime=windows-1251 ;; UTF-8) mime=utf-8 ;; *) mime=us-ascii ;; esac
    {
        echo "Return-Path: <bounce-$n@relay.example>"
        echo "Received: from relay.example (relay.example [192.0.2.$n])"
        echo "	by mx.mailgrove.example with ESMTP id demo$n"
        echo "	for <demo@mailgrove.example>; $date"
        echo "Date: $date"
        echo "From: $from"
        echo "To: demo@mailgrove.example"
        subject_line "$subject"
        echo "Message-ID: <demo.$n.$(printf '%08x' $((n * 2654435761 % 4294967296)))@relay.example>"
        echo "MIME-Version: 1.0"
        echo "Content-Type: text/plain; charset=$mime"
        echo "Content-Transfer-Encoding: 8bit"
        echo
        if [ -n "$body" ]; then printf '%s\n' "$body" | iconv -f UTF-8 -t "$charset"; fi
    } >"$file"
    pad_to "$file" "$size"
}

koi_name() { enc_b koi8-r KOI8-R "$1"; }
win_name() { enc_b windows-1251 CP1251 "$1"; }

message "Ivan Petrov <Ivan.Petrov@Mail.Example>" "k8b:Отчёт за ноябрь" 3480 "Добрый день! Отчёт во вложении."
message "promo@spam-relay.example" "wb:Только сегодня: скидки 90% на всё!" 15873 "Не пропустите!"
message "$(koi_name "Наталья Соколова") <natalia@partner.example>" "k8q:Договор и счёт на оплату" 1024 "Наталья"
message "digest@news.example" "ascii:Weekly digest #47: what changed in the kernel" 7310
message "offers@bulk-mailer.example" "k8q:Вы выиграли приз! Заберите его сейчас" 1025 "Поздравляем!"
message "\"Bulk Mailer Support\" <support@bulk-mailer.example>" "ascii:Your ticket #1234 has been updated" 2048
message "Old Friend <friend@spam-relay.example>" "k8b:Встреча в пятницу в силе?" 1023 "Привет!"
message "very.long.sender.address.for.the.demo@mailing-lists.university.example" "wq:Расписание семинаров на декабрь" 5120 "Уважаемые коллеги!"
message "admin@company.example" "ascii:Server maintenance tonight 23:00-01:00" 890
message "Boss <BOSS@Company.Example>" "K8B:Срочно: совещание в 10:00" 1100 "Всем быть."
message "sales@cheap-pills.test" "wq:Лучшие цены, доставка бесплатно" 2049 "Закажите сейчас"
message "\"Online Shop\" <info@shop.example>" "ascii:Your order #88213 has shipped" 4096
message "noreply@service.example" "none:" 640
message "Calendar <calendar@company.example>" "empty:" 512
message "MAILER-DAEMON" "ascii:Undelivered Mail Returned to Sender" 3072
message "newsletter@bulk-mailer.example" "wb:Новости недели: 10 способов разбогатеть" 30720 "Рассылка"
message "$(win_name "Бухгалтерия") <buh@partner.example>" "wb:Акт сверки за третий квартал" 20480 "Просим подписать."
message "winner@spam-relay.example" "k8b:Ваш выигрыш ждёт вас" 1536 "Срочно!"
message "Maria Ivanova <maria.ivanova@mail.example>" "k8b:Фотографии с дачи" 153600 "Смотри, что получилось."
message "github-like-notifications-robot@notifications.code-hosting.example" "ascii:[mailgrove] Pull request #12: faster header scan" 2300
message "ivan.petrov@mail.example" "wq:Re: Отчёт за ноябрь" 1200 "Спасибо!"
message "Travel Agency <tours@travel.example>" "k8q:Горящие туры в Турцию" 8192 "Только до конца недели"
message "postmaster@mail.example" "ascii:Your mailbox is 90% full" 700
message "sales@cheap-pills.test" "ascii:Cheap meds, no prescription" 999
message "$(koi_name "Служба поддержки") <help@bank.example>" "k8b:Выписка по счёту за ноябрь" 10240 "Выписка во вложении."
message "jobs@hr-portal.example" "wb:Вакансия: ведущий разработчик C++" 6000 "Здравствуйте!"
message "Dmitry <dmitry@partner.example>" "ascii:Contract draft v3" 1024
message "offers@bulk-mailer.example" "ascii:LAST CHANCE!!! 100% FREE" 1025
message "events@conference.example" "k8q:Приглашение на конференцию" 12000 "Приглашаем вас"
message "security@bank.example" "wb:Вход в интернет-банк с нового устройства" 2500 "Если это были не вы, позвоните нам."
message "anna@lists.example" "ascii:Re: [users] Build fails on Debian 12" 1800
message "digest@lists.example" "k8b:Дайджест рассылки за неделю" 40960 "Дайджест"
message "Kolya <kolya@mail.example>" "wb:С днём рождения!" 300000 "Поздравляю!"
message "robot@monitoring.example" "ascii:ALERT: disk usage above 95% on db-2" 1000
message "lottery@spam-relay.example" "ascii:You are our 1,000,000th visitor" 4444
message "Olga <olga@partner.example>" "k8q:Документы к встрече" 2047 "Документы"
# Today's mail: UTF-8 subjects.
message "Market <noreply@market.example>" "u8b:Ваш заказ №4521 передан в службу доставки" 9300 "Заказ в пути."
message "Anna Smirnova <anna.smirnova@partner.example>" "U8B:Протокол совещания и план работ на первый квартал" 4200 "Протокол во вложении."
message "ivan.petrov@mail.example" "u8q:Re: |Отчёт за ноябрь — итоговая версия с правками" 2600 "Посмотрел, всё хорошо."
message "hr@hr-portal.example" "U8B:Fwd: |Приглашение на собеседование в понедельник" 3300 "Пересылаю приглашение."
message "deals@spam-relay.example" "u8b:🔥 Распродажа: скидки до 70% только сегодня" 18000 "Успейте купить!"
message "Оксана <oksana@ukr-mail.example>" "u8b:Привіт! Їдемо до Києва в неділю, є квитки" 1500 "Квитки вже є."
message "news@lists.example" "u8x:Еженедельная рассылка: лучшие статьи недели" 22000 "Статьи недели"
message "gateway@legacy.example" "ascii:=?unknown-8bit?q?=D1=F7=E5=F2_=ED=E0_=EE=EF=EB=E0=F2=F3?=" 1300

echo "$n"
